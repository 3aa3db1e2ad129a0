// In-process tests run against the core loaded into this executable. Each gets an empty HOME of
// its own and no profile; the settings are whatever its own reloads make of them.
#ifndef VORNA_TESTS_CORE_FIXTURE_H
#define VORNA_TESTS_CORE_FIXTURE_H

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "support.h"

class CoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/local/etc/vorna/conf", F_OK) == 0)
            GTEST_SKIP() << "a system-wide configuration is installed and would change every result";
        home_ = std::make_unique<TempHome>();
        setenv("HOME", home_->path().c_str(), 1);
        unsetenv("VORNA");
    }

    void TearDown() override
    {
        setlocale(LC_ALL, "C");
        unsetenv("VORNA");
        home_.reset();
    }

    const TempHome &home() const { return *home_; }

    // The per-program file of this process: the executable's name, as the core found it.
    static std::string programFile() { return std::string("programs/") + program_invocation_short_name; }

private:
    std::unique_ptr<TempHome> home_;
};

#endif
