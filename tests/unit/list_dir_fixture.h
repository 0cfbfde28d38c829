// A test whose activation lists live in a fresh temporary directory: the
// daemon's list directory points there for the test and is put back after.
#pragma once

#include "config/config.h"
#include "util/overrides.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <string>

class ListDirTest : public testing::Test {
protected:
    harness::TempDir dir;
    // Where the lists are read from; must end in '/'. A fixture may point it
    // elsewhere under dir (before SetUp, or with use_list_dir()).
    std::string list_dir = dir.path() + "/";
    ProxyConfig config;

    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        config_init(&config);
        use_list_dir(list_dir);
    }
    void TearDown() override { overrides.activation_list_dir = saved_dir_; }

    void use_list_dir(const std::string &path)
    {
        list_dir = path;
        overrides.activation_list_dir = list_dir.c_str();
    }

private:
    const char *saved_dir_ = overrides.activation_list_dir;
};
