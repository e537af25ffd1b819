#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <stdexcept>

#include "shim/vexlo.h"

extern char **environ;

namespace ts {

namespace {

double monotonic_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Appends what fd has to dst; closes and clears fd at end of file.
void drain(int &fd, std::string &dst) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            dst.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(fd);
            fd = -1;
        }
        return;
    }
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

std::string bin(const std::string &name) {
    return std::string(P2P_BIN_DIR) + "/" + name;
}
std::string source_path(const std::string &rel) {
    return std::string(P2P_SOURCE_DIR) + "/" + rel;
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/p2ptest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = static_cast<uint32_t>(gen());
        for (size_t k = 0; k < 4 && i + k < n; k++)
            s[i + k] = static_cast<char>((v >> (8 * k)) & 0xff);
    }
    return s;
}

std::string reference_sha1_hex(const std::string &bytes) {
    TempDir dir;
    std::string path = dir.file("blob");
    write_file(path, bytes);
    RunResult r = run({"/usr/bin/sha1sum", path});
    if (r.status != 0 || r.out.size() < 40) throw std::runtime_error("sha1sum failed");
    return r.out.substr(0, 40);
}

Process::Process(Process &&o) noexcept
    : pid(o.pid),
      in_fd(o.in_fd),
      out_fd(o.out_fd),
      err_fd(o.err_fd),
      out(std::move(o.out)),
      err(std::move(o.err)),
      status(o.status),
      exited(o.exited) {
    o.pid = -1;
    o.in_fd = o.out_fd = o.err_fd = -1;
}

Process &Process::operator=(Process &&o) noexcept {
    if (this != &o) {
        this->~Process();
        new (this) Process(std::move(o));
    }
    return *this;
}

Process::~Process() {
    kill_now();
    if (in_fd >= 0) close(in_fd);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
}

void Process::write_stdin(const std::string &bytes) {
    size_t done = 0;
    while (in_fd >= 0 && done < bytes.size()) {
        ssize_t n = write(in_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        } else {
            pump(0.01);
        }
    }
}

void Process::close_stdin() {
    if (in_fd >= 0) close(in_fd);
    in_fd = -1;
}

void Process::pump(double timeout_s) {
    pollfd fds[2];
    int n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    if (n == 0) {
        if (timeout_s > 0) usleep(static_cast<useconds_t>(std::min(timeout_s, 0.05) * 1e6));
        reap();
        return;
    }
    poll(fds, static_cast<nfds_t>(n), static_cast<int>(timeout_s * 1000));
    if (out_fd >= 0) drain(out_fd, out);
    if (err_fd >= 0) drain(err_fd, err);
    reap();
}

void Process::reap() {
    if (exited || pid <= 0) return;
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) {
        exited = true;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
}

bool Process::wait_until(const std::function<bool()> &pred, double timeout_s) {
    double deadline = monotonic_seconds() + timeout_s;
    while (!pred()) {
        double left = deadline - monotonic_seconds();
        if (left <= 0) return pred();
        pump(std::min(left, 0.05));
        if (exited && out_fd < 0 && err_fd < 0) return pred();
    }
    return true;
}

bool Process::wait_stdout(const std::string &needle, double timeout_s) {
    return wait_until([&] { return out.find(needle) != std::string::npos; }, timeout_s);
}

bool Process::wait_stderr(const std::string &needle, double timeout_s) {
    return wait_until([&] { return err.find(needle) != std::string::npos; }, timeout_s);
}

bool Process::wait_exit(double timeout_s) {
    bool ok = wait_until([&] { return exited && out_fd < 0 && err_fd < 0; }, timeout_s);
    if (exited && (out_fd >= 0 || err_fd >= 0)) {
        // The process ended but a grandchild may still hold the pipes: take what is there.
        pump(0.05);
        ok = true;
    }
    return ok || exited;
}

void Process::send_signal(int sig) {
    if (pid > 0 && !exited) kill(pid, sig);
}

void Process::kill_now() {
    if (pid > 0 && !exited) {
        kill(pid, SIGKILL);
        int st = 0;
        if (waitpid(pid, &st, 0) == pid) {
            exited = true;
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
    }
}

Process spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const std::string &cwd, const std::vector<std::string> &unset_env) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto &name : unset_env) unsetenv(name.c_str());
        for (const auto &kv : env) {
            auto eq = kv.find('=');
            setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    Process p;
    p.pid = pid;
    p.in_fd = in_pipe[1];
    p.out_fd = out_pipe[0];
    p.err_fd = err_pipe[0];
    set_nonblocking(p.out_fd);
    set_nonblocking(p.err_fd);
    signal(SIGPIPE, SIG_IGN);
    return p;
}

RunResult run(const std::vector<std::string> &argv, const std::string &stdin_bytes,
              double timeout_s, const std::vector<std::string> &env, const std::string &cwd,
              const std::vector<std::string> &unset_env) {
    Process p = spawn(argv, env, cwd, unset_env);
    p.write_stdin(stdin_bytes);
    p.close_stdin();
    RunResult r;
    if (!p.wait_exit(timeout_s)) {
        p.kill_now();
        r.status = -1;
    } else {
        r.status = p.status;
    }
    p.pump(0);
    r.out = p.out;
    r.err = p.err;
    return r;
}

uint16_t free_udp_port() {
    UdpSocket s;
    return s.port;
}

UdpSocket::UdpSocket(uint16_t want_port) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a = loopback(want_port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("bind failed: " + std::string(strerror(errno)));
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
}

UdpSocket::~UdpSocket() {
    if (fd >= 0) close(fd);
}

bool UdpSocket::send_to(uint16_t to_port, const std::string &bytes) const {
    sockaddr_in a = loopback(to_port);
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> UdpSocket::recv(double timeout_s, uint16_t *from_port) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout_s * 1000)) <= 0) return std::nullopt;
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) return std::nullopt;
    if (from_port) *from_port = ntohs(from.sin_port);
    return std::string(buf, static_cast<size_t>(n));
}

double monotonic_now() {
    return monotonic_seconds();
}

std::vector<std::string> UdpSocket::recv_all(double quiet_s, double max_s) const {
    std::vector<std::string> got;
    double deadline = monotonic_seconds() + max_s;
    while (monotonic_seconds() < deadline) {
        auto d = recv(quiet_s);
        if (!d) break;
        got.push_back(*d);
    }
    return got;
}

// ---- drops at a socket -----------------------------------------------------------------------

namespace {

// Every datagram queued on fd, through the shim, until 100 ms pass with none: how many were
// taken, and the last one's payload (its first 64 bytes).
struct Drained {
    int count = 0;
    std::string last;
};

Drained drain_through_shim(int fd, bool batch) {
    constexpr size_t kSlot = 64;
    std::vector<std::string> slots(VEXLO_BATCH_MAX, std::string(kSlot, '\0'));
    char *buffers[VEXLO_BATCH_MAX];
    for (size_t i = 0; i < slots.size(); i++) buffers[i] = slots[i].data();
    int lengths[VEXLO_BATCH_MAX];
    sockaddr_in froms[VEXLO_BATCH_MAX];
    Drained d;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 100) == 1) {
        int got = 1;
        if (batch) {
            got = vexlo_recvbatch(fd, buffers, kSlot, lengths, froms, VEXLO_BATCH_MAX);
        } else {
            socklen_t len = sizeof froms[0];
            lengths[0] = vexlo_recvfrom(fd, buffers[0], kSlot, 0,
                                        reinterpret_cast<sockaddr *>(&froms[0]), &len);
        }
        if (got <= 0) break;
        d.count += got;
        int last = lengths[got - 1];
        d.last =
            slots[static_cast<size_t>(got - 1)].substr(0, last > 0 ? static_cast<size_t>(last) : 0);
    }
    return d;
}

}  // namespace

int overflow_through_shim(const UdpSocket &from, const UdpSocket &to, int flood,
                          const std::string &prefix, bool batch) {
    int smallest = 1;  // raised by the kernel to its minimum
    setsockopt(to.fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    const std::string datagram = prefix + std::string(1000, 'x');
    for (int i = 0; i < flood; i++) from.send_to(to.port, datagram);
    Drained queued = drain_through_shim(to.fd, batch);
    if (queued.count <= 0 || queued.count >= flood) return -1;
    from.send_to(to.port, prefix + "tail");
    Drained tail = drain_through_shim(to.fd, batch);
    if (tail.count != 1 || tail.last != "tail") return -1;
    return flood - queued.count;
}

}  // namespace ts
