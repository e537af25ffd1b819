// Helpers for tests that run the real programs: temporary folders, child processes with piped
// standard streams and bounded waits, and UDP sockets on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ts {

// Path of a built program in the build's bin folder.
std::string bin(const std::string &name);
// Path below the source tree.
std::string source_path(const std::string &rel);

// A fresh folder under TMPDIR, removed with its contents on destruction.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
// n bytes from a fixed-seed generator: the same seed gives the same bytes.
std::string random_bytes(size_t n, uint32_t seed);
// The SHA-1 of bytes as 40 lower-case hex digits, computed by sha1sum (an independent reference).
std::string reference_sha1_hex(const std::string &bytes);

// A child process with pipes on its standard streams. The destructor kills it (SIGKILL, by pid)
// and reaps it.
struct Process {
    pid_t pid = -1;
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::string out;  // standard output collected so far
    std::string err;  // standard error collected so far
    int status = -1;  // exit code once reaped; 128+signal when killed by a signal
    bool exited = false;

    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    ~Process();

    void write_stdin(const std::string &bytes);
    void close_stdin();
    // Reads whatever output is available, waiting at most timeout_s for some.
    void pump(double timeout_s);
    // Pumps until pred() holds or timeout_s passes; returns pred().
    bool wait_until(const std::function<bool()> &pred, double timeout_s);
    bool wait_stdout(const std::string &needle, double timeout_s);
    bool wait_stderr(const std::string &needle, double timeout_s);
    // Waits for the process to end, collecting output; true when it ended in time.
    bool wait_exit(double timeout_s);
    // Notes the exit status if the process has ended (without waiting).
    void reap();
    void send_signal(int sig);
    void kill_now();
};

// Starts argv[0] (a path) with argv; env entries "NAME=value" are added to (or replace in) the
// environment; "NAME=" with unset_marker removes it. cwd empty keeps the current folder.
Process spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
              const std::string &cwd = "", const std::vector<std::string> &unset_env = {});

struct RunResult {
    int status = -1;  // exit code, 128+signal, or -1 when it had to be killed after the timeout
    std::string out;
    std::string err;
};
// Runs a program to its end with the given standard input, killing it after timeout_s.
RunResult run(const std::vector<std::string> &argv, const std::string &stdin_bytes = "",
              double timeout_s = 20.0, const std::vector<std::string> &env = {},
              const std::string &cwd = "", const std::vector<std::string> &unset_env = {});

// Seconds on a clock that never jumps.
double monotonic_now();

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t free_udp_port();

// A UDP socket bound to 127.0.0.1 (port 0 picks one).
struct UdpSocket {
    int fd = -1;
    uint16_t port = 0;
    explicit UdpSocket(uint16_t want_port = 0);
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;
    bool send_to(uint16_t to_port, const std::string &bytes) const;
    // One datagram, or nothing within timeout_s; from_port receives the sender's port.
    std::optional<std::string> recv(double timeout_s, uint16_t *from_port = nullptr) const;
    // Every datagram that arrives until quiet_s passes with nothing new (bounded by max_s).
    std::vector<std::string> recv_all(double quiet_s, double max_s = 10.0) const;
};

// The socket drops a receive through the shim reports. `to` gets its receive buffer cut to the
// kernel's minimum and `flood` datagrams of 1000 bytes from `from`, each behind prefix (a
// simulator header, or empty); what it queued is taken through vexlo_recvbatch (batch) or
// vexlo_recvfrom, and then one datagram "tail", queued after the losses and so carrying their
// count. Returns the datagrams the flood lost, or -1 when nothing or everything was queued or
// "tail" did not come back as itself.
int overflow_through_shim(const UdpSocket &from, const UdpSocket &to, int flood,
                          const std::string &prefix, bool batch);

}  // namespace ts
