#include "config/Settings.h"

#include <stdexcept>
#include <string_view>
#include <utility>

#include "config/DefaultServers.h"
#include "config/OptionRanges.h"

namespace {

// Stored zero-extended, read back truncated.
uint16_t Field(const ProfileStore& store, const std::string& section, const char* name) {
    return static_cast<uint16_t>(store.ReadInt(section, name, 0));
}

}  // namespace

Settings::Settings(ProfileStore& store) : servers(serversName, serversName), m_store(store) {
    SetDefaults();
}

void Settings::SetDefaults() {
    using namespace OptionRanges;
    for (const OptionRange& option :
         {kSynPeriod, kOffset, kShowIcon, kExitAfter, kMaxDays, kTimeOut, kMaxDiff, kConfirmLarge}) {
        OptionField(option) = DefaultOf(option);
    }
}

std::atomic<int32_t>& Settings::OptionField(const OptionRange& option) {
    using namespace OptionRanges;
    static const std::pair<const char*, std::atomic<int32_t> Settings::*> kFields[] = {
        {kSynPeriod.name, &Settings::nSynPeriod},      {kShowIcon.name, &Settings::bShowIcon},
        {kExitAfter.name, &Settings::bExitAfter},      {kOffset.name, &Settings::nOffset},
        {kMaxDays.name, &Settings::nMaxDays},          {kTimeOut.name, &Settings::nTimeOut},
        {kMaxDiff.name, &Settings::nMaxDiff},          {kOnlyNts.name, &Settings::bOnlyNts},
        {kConfirmLarge.name, &Settings::bConfirmLarge}};
    for (const auto& [name, field] : kFields) {
        if (std::string_view(name) == option.name) {
            return this->*field;
        }
    }
    throw std::logic_error(std::string("no option field for ") + option.name);
}

int32_t Settings::DefaultOf(const OptionRange& option) const {
    return m_site.Value(option).value_or(option.loadDefault);
}

void Settings::UseSite(SiteDefaults site) {
    m_site = std::move(site);
    ApplyLocked();
    if (IsLocked(SiteDefaults::kServers)) {
        RestoreDefaultServers();
    }
}

void Settings::ApplySiteDefaults() {
    SetDefaults();
    bOnlyNts = DefaultOf(OptionRanges::kOnlyNts);
    RestoreDefaultServers();
}

void Settings::ApplyLocked() {
    for (const OptionRange& option : SiteDefaults::Options()) {
        if (IsLocked(option.name)) {
            OptionField(option) = DefaultOf(option);
        }
    }
}

int32_t Settings::ReadOption(const OptionRange& option) const {
    return option.Checked(m_store.ReadInt(optionsSection, option.name, option.loadDefault));
}

void Settings::LoadAll(LastAttempt& last) {
    const std::string& s = optionsSection;
    last.timeBefore = SYSTEMTIME{};
    last.timeBefore.wHour = Field(m_store, s, "nOldHour");
    last.timeBefore.wMinute = Field(m_store, s, "nOldMinute");
    last.timeBefore.wSecond = Field(m_store, s, "nOldSecond");
    last.timeBefore.wMilliseconds = Field(m_store, s, "nOldMilliseconds");
    last.timeAfter = SYSTEMTIME{};
    last.timeAfter.wHour = Field(m_store, s, "nNewHour");
    last.timeAfter.wMinute = Field(m_store, s, "nNewMinute");
    last.timeAfter.wSecond = Field(m_store, s, "nNewSecond");
    last.timeAfter.wMilliseconds = Field(m_store, s, "nNewMilliseconds");
    last.syncDate = SYSTEMTIME{};
    last.syncDate.wYear = Field(m_store, s, "nSynYear");
    last.syncDate.wMonth = Field(m_store, s, "nSynMonth");
    last.syncDate.wDay = Field(m_store, s, "nSynDay");
    last.statusText = m_store.ReadString(s, "sConnectStatus", "Null");

    nStartingServ = m_store.ReadInt(s, "nStartingServ", 0);
    // Every option within the range the Options dialog allows, or its load
    // default; the file keeps what it holds until the next save.
    using namespace OptionRanges;
    const int32_t storedPeriod = m_store.ReadInt(s, kSynPeriod.name, kSynPeriod.loadDefault);
    bShowIcon = ReadOption(kShowIcon);
    bExitAfter = ReadOption(kExitAfter);
    // On the stored period on purpose: a stored period of 7 leaves bExitAfter as stored.
    if (storedPeriod == SyncPeriod::kHourly || storedPeriod == SyncPeriod::kOnlyManual) {
        bExitAfter = 0;
    }
    nSynPeriod = kSynPeriod.Checked(storedPeriod);
    nOffset = ReadOption(kOffset);
    nMaxDays = ReadOption(kMaxDays);
    nTimeOut = ReadOption(kTimeOut);
    nMaxDiff = ReadOption(kMaxDiff);
    if (const auto block = m_store.ReadBinary(s, "TimeZoneInfo")) {
        if (const auto zone = DecodeTimeZoneInformation(*block)) {
            startZone = *zone;
        }
    }
    startZoneName = m_store.ReadString(s, "TimeZoneName", "");
    bFirstStart = ReadOption(kFirstStart);
    bOnlyNts = ReadOption(kOnlyNts);
    bConfirmLarge = ReadOption(kConfirmLarge);
    ApplyLocked();
    LoadServers();
}

void Settings::LoadServers() {
    if (IsLocked(SiteDefaults::kServers)) {
        // What the user's file holds stays there untouched, broken or not.
        RestoreDefaultServers();
    } else if (!servers.Load(m_store)) {
        // The defaults replace the stored list, but what was stored is kept
        // aside by the same write: a user's own servers are never simply gone.
        ProfileStore::Batch batch(m_store);
        if (!m_store.EntryNames(servers.Section()).empty()) {
            int number = 1;
            while (!m_store.EntryNames(BrokenServersSection(number)).empty()) {
                ++number;
            }
            batch.CopySection(servers.Section(), BrokenServersSection(number));
        }
        RestoreDefaultServers();
        servers.Save(batch);
        batch.Commit();
    }
    if (nStartingServ < 0 || static_cast<std::size_t>(nStartingServ.load()) >= servers.GetSize()) {
        nStartingServ = 0;
    }
}

bool Settings::ResetServers() {
    RestoreDefaultServers();
    return SaveServers();
}

void Settings::RestoreDefaultServers() {
    if (IsLocked(SiteDefaults::kServers)) {
        servers.RemoveAll();
    }
    ::RestoreDefaultServers(servers, m_site.Servers() ? *m_site.Servers() : DefaultServers());
}

bool Settings::SaveFirstStart() {
    RestoreDefaultServers();
    ProfileStore::Batch batch(m_store);
    AddOptions(batch);
    if (!IsLocked(SiteDefaults::kServers)) {
        servers.Save(batch);
    }
    return batch.Commit();
}

void Settings::AddOptions(ProfileStore::Batch& batch) const {
    const std::string& s = optionsSection;
    // A locked value is the administrator's: the user's file keeps its own.
    const auto option = [&](const OptionRange& range, int32_t value) {
        if (!IsLocked(range.name)) {
            batch.WriteInt(s, range.name, value);
        }
    };
    using namespace OptionRanges;
    option(kSynPeriod, nSynPeriod);
    option(kShowIcon, bShowIcon);
    option(kExitAfter, bExitAfter);
    option(kOffset, nOffset);
    option(kMaxDays, nMaxDays);
    option(kTimeOut, nTimeOut);
    option(kMaxDiff, nMaxDiff);
    batch.WriteInt(s, "nStartingServ", nStartingServ);
    const std::vector<uint8_t> zone = EncodeTimeZoneInformation(startZone);
    batch.WriteBinary(s, "TimeZoneInfo", zone.data(), zone.size());
    batch.WriteString(s, "TimeZoneName", startZoneName);
    batch.WriteInt(s, "bFirstStart", bFirstStart);
    option(kOnlyNts, bOnlyNts);
    option(kConfirmLarge, bConfirmLarge);
}

bool Settings::SaveOptions() {
    ProfileStore::Batch batch(m_store);
    AddOptions(batch);
    return batch.Commit();
}

bool Settings::SaveServers() {
    if (IsLocked(SiteDefaults::kServers)) {
        return true;  // nothing of the user's to store
    }
    return servers.Save(m_store);
}

bool Settings::SaveLastAttempt(const LastAttempt& last) {
    const std::string& s = optionsSection;
    ProfileStore::Batch batch(m_store);
    batch.WriteInt(s, "nOldHour", last.timeBefore.wHour);
    batch.WriteInt(s, "nOldMinute", last.timeBefore.wMinute);
    batch.WriteInt(s, "nOldSecond", last.timeBefore.wSecond);
    batch.WriteInt(s, "nOldMilliseconds", last.timeBefore.wMilliseconds);
    batch.WriteInt(s, "nNewHour", last.timeAfter.wHour);
    batch.WriteInt(s, "nNewMinute", last.timeAfter.wMinute);
    batch.WriteInt(s, "nNewSecond", last.timeAfter.wSecond);
    batch.WriteInt(s, "nNewMilliseconds", last.timeAfter.wMilliseconds);
    batch.WriteInt(s, "nSynYear", last.syncDate.wYear);
    batch.WriteInt(s, "nSynMonth", last.syncDate.wMonth);
    batch.WriteInt(s, "nSynDay", last.syncDate.wDay);
    batch.WriteString(s, "sConnectStatus", last.statusText);
    return batch.Commit();
}

void Settings::SetServers(const CRegArray<CServer>& list) {
    if (&list == &servers) {
        return;
    }
    servers.RemoveAll();
    servers.Append(list);
}

bool Settings::IsSyncOverdue(const SYSTEMTIME& syncDate, const SystemClock& clock) const {
    const int32_t maxDays = nMaxDays;
    if (maxDays == 0 || syncDate.wYear == 0 || syncDate.wYear == 1899) {
        return false;
    }
    // A hand-edited date that names no day gives no warning rather than a nonsense one.
    if (syncDate.wMonth < 1 || syncDate.wMonth > 12 || syncDate.wDay < 1 || syncDate.wDay > 31) {
        return false;
    }
    const SYSTEMTIME now = clock.GetLocalTime();
    const int64_t elapsedSeconds = (DaysFromCivil(now.wYear, now.wMonth, now.wDay) -
                                    DaysFromCivil(syncDate.wYear, syncDate.wMonth, syncDate.wDay)) *
                                       86400 +
                                   now.wHour * 3600 + now.wMinute * 60 + now.wSecond;
    // Whole days toward zero; the seconds are whole, so no rounding is needed.
    return elapsedSeconds / 86400 > maxDays;
}
