#pragma once

#include <vector>

#include "desktop/HelpService.h"

// Records every help page asked for, in order.
class FakeHelp final : public Help {
public:
    void ShowHelp(HelpPage page) override { m_pages.push_back(page); }
    const std::vector<HelpPage>& Pages() const { return m_pages; }

private:
    std::vector<HelpPage> m_pages;
};
