#pragma once

#include <cassert>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "config/ProfileStore.h"

// An ordered list that knows where it is stored: in `section`, as a counter
// "<entryName>_Counter" and one text per element, "<entryName> 0",
// "<entryName> 1", ..., each the element's ToString(). T needs a default
// constructor, ToString() and FromString(text).
//
// A list built with empty names is a working copy and is never loaded or saved.
template <class T>
class CRegArray {
public:
    CRegArray(std::string section, std::string entryName)
        : m_section(std::move(section)),
          m_entryName(std::move(entryName)),
          m_counterName(m_entryName + "_Counter") {}

    const std::string& Section() const { return m_section; }

    std::size_t GetSize() const { return m_items.size(); }
    bool IsEmpty() const { return m_items.empty(); }
    // An index outside the list is a programming error.
    T& operator[](std::size_t index) {
        assert(index < m_items.size());
        return m_items[index];
    }
    const T& operator[](std::size_t index) const {
        assert(index < m_items.size());
        return m_items[index];
    }
    void Add(const T& item) { m_items.push_back(item); }
    void RemoveAt(std::size_t index) {
        assert(index < m_items.size());
        m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
    }
    void RemoveAll() { m_items.clear(); }
    // Appends copies of every element of other (other may be this list).
    void Append(const CRegArray& other) {
        const std::vector<T> copy = other.m_items;
        m_items.insert(m_items.end(), copy.begin(), copy.end());
    }
    auto begin() { return m_items.begin(); }
    auto end() { return m_items.end(); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

    // The name of the value that holds element `index`.
    std::string ValueName(std::size_t index) const { return m_entryName + " " + std::to_string(index); }

    // Appends the stored elements. False, with the list unchanged, when no
    // positive counter is stored; false, with the list emptied (elements held
    // before included), when an entry within the counted range is missing or
    // empty.
    bool Load(const ProfileStore& store) {
        const int32_t count = store.ReadInt(m_section, m_counterName, 0);
        if (count <= 0) {
            return false;
        }
        for (int32_t i = 0; i < count; ++i) {
            const std::string text = store.ReadString(m_section, ValueName(static_cast<std::size_t>(i)), "");
            if (text.empty()) {
                m_items.clear();
                return false;
            }
            T item{};
            item.FromString(text);
            m_items.push_back(std::move(item));
        }
        return true;
    }

    // Adds the counter and every element to a batch. Entries of higher index
    // left by an earlier, longer list stay; the counter keeps them from being read.
    void Save(ProfileStore::Batch& batch) const {
        batch.WriteInt(m_section, m_counterName, static_cast<int32_t>(m_items.size()));
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            batch.WriteString(m_section, ValueName(i), m_items[i].ToString());
        }
    }
    // The same as one atomic write; true when it reached the disk.
    bool Save(ProfileStore& store) const {
        ProfileStore::Batch batch(store);
        Save(batch);
        return batch.Commit();
    }

private:
    std::string m_section;
    std::string m_entryName;
    std::string m_counterName;
    std::vector<T> m_items;
};
