// The history's tests need one QCoreApplication (for queued calls and the SQL
// driver), made on the main thread before the first test and gone after the last.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <memory>

namespace {

class QtCoreEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "tidewell_history_tests";
        static char* argv[] = {name, nullptr};
        m_application = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { m_application.reset(); }

private:
    std::unique_ptr<QCoreApplication> m_application;
};

[[maybe_unused]] const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtCoreEnvironment);

}  // namespace
