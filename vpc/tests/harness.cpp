#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_all(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos)
            out.push_back(line);
    return out;
}

void VpcTest::SetUp()
{
    char tmpl[] = "/tmp/zorvpc-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(std::system(("mkdir -p " + q(work())).c_str()), 0);
}

void VpcTest::TearDown()
{
    if (!dir_.empty() && !HasFailure())
        std::system(("rm -rf " + q(dir_)).c_str());
}

std::string VpcTest::q(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

RunResult VpcTest::sh(const std::string& cmdline)
{
    std::string err_file = dir_ + "/stderr";
    std::string full = "cd " + q(work()) + " && " + cmdline + " 2>" + q(err_file);
    FILE* p = popen(full.c_str(), "r");
    RunResult r{-1, "", ""};
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = read_all(err_file);
    return r;
}

void VpcTest::init(const std::string& args)
{
    RunResult r = sh(q(ZORVPC_EXE) + " init " + q(st()) + " " + args);
    ASSERT_EQ(r.code, 0) << r.err;
}

RunResult VpcTest::probe(const std::vector<std::string>& actions, const std::string& run_opts)
{
    std::string cmd = q(ZORVPC_EXE) + " run " + q(st()) + " " + run_opts + " -- " + q(VPCPROBE_EXE);
    for (const std::string& a : actions)
        cmd += " " + q(a);
    return sh(cmd);
}

std::string VpcTest::file(const std::string& rel) const { return read_all(st() + "/" + rel); }

std::vector<std::string> VpcTest::trace() const
{
    std::vector<std::string> out;
    std::istringstream in(file("trace"));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

void VpcTest::clear_trace() const { write_all(st() + "/trace", ""); }
