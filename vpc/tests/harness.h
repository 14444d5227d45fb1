// Runs zorvpc and the probe in a fresh directory per test.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

struct RunResult {
    int code;
    std::string out;
    std::string err;
};

class VpcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Shell-quotes one word.
    static std::string q(const std::string& s);
    // Runs a shell command line in work(); captures stdout and stderr.
    RunResult sh(const std::string& cmdline);
    // zorvpc init st [args]; expects success.
    void init(const std::string& args = "");
    // zorvpc run st [run_opts] -- vpcprobe actions...
    RunResult probe(const std::vector<std::string>& actions, const std::string& run_opts = "");

    std::string st() const { return dir_ + "/st"; }
    std::string work() const { return dir_ + "/work"; }
    std::string file(const std::string& rel) const;
    std::vector<std::string> trace() const;
    void clear_trace() const;

    std::string dir_;
};

std::string read_all(const std::string& path);
void write_all(const std::string& path, const std::string& data);
// Lines of text that contain needle, in order.
std::vector<std::string> lines_with(const std::string& text, const std::string& needle);
