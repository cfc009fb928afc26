#include "desktop/TimedatedZoneStore.h"

#include <gtest/gtest.h>

#include "tests/support/FakeTimeZoneStore.h"
#include "tests/support/TimedatedMock.h"

namespace {

class TimedatedZoneStoreTest : public TimedatedMockTest {
protected:
    void SetUp() override {
        TimedatedMockTest::SetUp();
        m_inner.AddNamedZone("Europe/Berlin");
    }

    void StartMock() { TimedatedMockTest::StartMock(QStringLiteral(R"({"Timezone": "Africa/Casablanca"})")); }

    QString TimezoneProperty() { return Property(QStringLiteral("Timezone")).toString(); }

    FakeTimeZoneStore m_inner;
};

}  // namespace

TEST_F(TimedatedZoneStoreTest, TheServiceLinksTheZoneWhereItIsOnTheBus) {
    StartMock();
    TimedatedZoneStore store(m_inner, m_address);
    EXPECT_TRUE(store.applyNamed("Europe/Berlin"));
    EXPECT_EQ(TimezoneProperty(), "Europe/Berlin");
    EXPECT_TRUE(m_inner.AppliedNames().empty());
    // A name the database lacks is not sent at all.
    EXPECT_FALSE(store.applyNamed("Europe/Atlantis"));
    EXPECT_EQ(TimezoneProperty(), "Europe/Berlin");

    // A refusal stands: no second way round it.
    ReplaceMethod(QStringLiteral("SetTimezone"), QStringLiteral("sb"),
                  QStringLiteral("raise dbus.exceptions.DBusException('no', "
                                 "name='org.freedesktop.DBus.Error.AccessDenied')"));
    ASSERT_FALSE(HasFailure());
    EXPECT_FALSE(store.applyNamed("Europe/Berlin"));
    EXPECT_TRUE(m_inner.AppliedNames().empty());
}

TEST_F(TimedatedZoneStoreTest, WithoutTheServiceOrABusTheStoreDoesIt) {
    for (const QString& address : {m_address, QStringLiteral("unix:path=/nonexistent/bus")}) {
        FakeTimeZoneStore inner;
        inner.AddNamedZone("Europe/Berlin");
        TimedatedZoneStore store(inner, address);
        EXPECT_TRUE(store.applyNamed("Europe/Berlin")) << address.toStdString();
        EXPECT_EQ(inner.AppliedNames(), std::vector<std::string>{"Europe/Berlin"});
    }
}
