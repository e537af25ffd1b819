// demo/share.py: the commands it prints, run line by line as a user pasting them would, copy
// the user's file through a swarm of peers.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>

#include "test_support.h"

namespace {

// The pids in the uploaders' pid files, stopped (by pid) when the test ends however it ends.
struct PidFiles {
    std::string dir;
    std::vector<int> uploader_ids;
    std::vector<pid_t> pids() const {
        std::vector<pid_t> found;
        for (int id : uploader_ids) {
            std::string path = dir + "/peer" + std::to_string(id) + ".pid";
            if (access(path.c_str(), R_OK) == 0) found.push_back(std::stoi(ts::read_file(path)));
        }
        return found;
    }
    ~PidFiles() {
        for (pid_t pid : pids()) kill(pid, SIGKILL);
    }
};

bool running(pid_t pid) {
    return kill(pid, 0) == 0;
}

}  // namespace

TEST(Share, PrintedCommandsCopyTheFile) {
    ts::TempDir tmp;
    std::string file = tmp.file("my file.bin");  // a blank in the name must survive quoting
    std::string bytes = ts::random_bytes(3 * 524288 + 99, 17);
    ts::write_file(file, bytes);
    std::string bin = ts::bin("peer");
    bin.resize(bin.rfind('/'));
    auto shared = ts::run({"/usr/bin/env", "python3", "-m", "demo.share", file, "--peers", "2",
                           "--dir", tmp.file("swarm"), "--bin", bin},
                          "", 60.0, {}, ts::source_path(""));
    ASSERT_EQ(0, shared.status) << shared.err;
    PidFiles guard{tmp.file("swarm"), {2, 3}};

    // Each command line in order; the GET line is what the user types into the downloader.
    std::vector<std::string> commands;
    std::string get_line;
    std::istringstream lines(shared.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("GET ", 0) == 0)
            get_line = line + "\n";
        else if (!line.empty() && line[0] != '#')
            commands.push_back(line);
    }
    ASSERT_EQ(5u, commands.size()) << shared.out;  // 2 uploaders, downloader, cmp, kill
    ASSERT_FALSE(get_line.empty()) << shared.out;
    for (size_t i = 0; i < 2; i++) EXPECT_EQ(0, ts::run({"/bin/bash", "-c", commands[i]}).status);
    auto uploaders = guard.pids();
    ASSERT_EQ(2u, uploaders.size());
    // The uploaders listen once they have reported the shim's mode.
    for (int id : {2, 3}) {
        std::string err = tmp.file("swarm/peer" + std::to_string(id) + ".err");
        for (int i = 0; i < 500 && ts::read_file(err).find("exlo") == std::string::npos; i++)
            usleep(10000);
    }
    auto down = ts::run({"/bin/bash", "-c", commands[2]}, get_line, 60.0);
    EXPECT_NE(std::string::npos, down.out.find("GOT " + tmp.file("swarm/output.bin") + " \n"))
        << down.out << down.err;
    EXPECT_EQ(std::string::npos, down.out.find("Vexlo"));
    auto cmp = ts::run({"/bin/bash", "-c", commands[3]});
    EXPECT_EQ("identical\n", cmp.out) << cmp.err;
    EXPECT_EQ(0, ts::run({"/bin/bash", "-c", commands[4]}).status);
    for (pid_t pid : uploaders) {
        for (int i = 0; i < 500 && running(pid); i++) usleep(10000);
        EXPECT_FALSE(running(pid)) << pid;
    }
}
