#include "frontend/checks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/bt_parse.h"
#include "engine/common.h"
#include "engine/store.h"
#include "frontend/chunkfile.h"

// ---- the peer list ---------------------------------------------------------------------------

namespace {

// One line of the list, kept to find ids and addresses listed twice.
struct list_entry {
    int id;
    struct in_addr addr;
    uint16_t port;
    int line;
};

}  // namespace

// value is text read as a whole decimal number (digits only) from min to max.
static bool whole_number(const std::string &text, long min, long max, long *value) {
    if (text.empty() || text.size() > 9) return false;
    long n = 0;
    for (char c : text) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
        n = n * 10 + (c - '0');
    }
    if (n < min || n > max) return false;
    *value = n;
    return true;
}

static std::vector<std::string> fields_of(const char *line) {
    std::vector<std::string> fields;
    const char *p = line;
    while (*p) {
        while (*p && isspace(static_cast<unsigned char>(*p))) p++;
        const char *start = p;
        while (*p && !isspace(static_cast<unsigned char>(*p))) p++;
        if (p > start) fields.emplace_back(start, static_cast<size_t>(p - start));
    }
    return fields;
}

// The host's first IPv4 address, resolved as the peer resolves it; a dotted address is itself.
static bool resolve(const std::string &host, struct in_addr *addr) {
    const hostent *he = gethostbyname(host.c_str());
    if (!he || he->h_addrtype != AF_INET || he->h_length != sizeof *addr || !he->h_addr_list[0])
        return false;
    memcpy(addr, he->h_addr_list[0], sizeof *addr);
    return true;
}

// Parses one line that is neither a comment nor blank into *entry. False with the reason in why.
static bool parse_peer_line(const char *path, int line_no, const char *line, list_entry *entry,
                            char *why, size_t why_size) {
    std::vector<std::string> f = fields_of(line);
    long id = 0, port = 0;
    if (f.size() != 3) {
        snprintf(why, why_size, "%s:%d: expected \"<id> <address> <port>\", found %s", path,
                 line_no, counted(static_cast<long long>(f.size()), "field").c_str());
    } else if (!whole_number(f[0], 1, FRONT_MAX_ID, &id)) {
        snprintf(why, why_size, "%s:%d: id '%s' is not a whole number from 1 to %d", path, line_no,
                 f[0].c_str(), FRONT_MAX_ID);
    } else if (!resolve(f[1], &entry->addr)) {
        snprintf(why, why_size, "%s:%d: address '%s' is no IPv4 address and does not resolve", path,
                 line_no, f[1].c_str());
    } else if (!whole_number(f[2], 1, 65535, &port)) {
        snprintf(why, why_size, "%s:%d: port '%s' is not a whole number from 1 to 65535", path,
                 line_no, f[2].c_str());
    } else {
        entry->id = static_cast<int>(id);
        entry->port = static_cast<uint16_t>(port);
        entry->line = line_no;
        return true;
    }
    return false;
}

// Whether entry repeats an id or an address:port of the lines before it; the reason in why.
static bool repeats_earlier(const char *path, const std::vector<list_entry> &earlier,
                            const list_entry &entry, char *why, size_t why_size) {
    for (const list_entry &e : earlier) {
        if (e.id == entry.id) {
            snprintf(why, why_size, "%s:%d: id %d is already listed on line %d", path, entry.line,
                     entry.id, e.line);
            return true;
        }
        if (e.addr.s_addr == entry.addr.s_addr && e.port == entry.port) {
            snprintf(why, why_size, "%s:%d: %s:%d is already listed on line %d (id %d)", path,
                     entry.line, inet_ntoa(entry.addr), entry.port, e.line, e.id);
            return true;
        }
    }
    return false;
}

// Reads every line of the list into *entries; false with the reason in why.
static bool read_peer_lines(const char *path, std::vector<list_entry> *entries, char *why,
                            size_t why_size) {
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        snprintf(why, why_size, "cannot read the peer list %s: it is a directory", path);
        return false;
    }
    FileHandle f(fopen(path, "r"), &fclose);
    if (!f) {
        snprintf(why, why_size, "cannot read the peer list %s: %s", path, strerror(errno));
        return false;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    int line_no = 0;
    bool ok = true;
    while (ok && (len = getline(&line, &cap, f.get())) >= 0) {
        line_no++;
        // The peer reads a line in pieces of BT_MAX_PEER_LINE - 1 characters and a NUL ends its
        // reading of one: such lines would not be read as written.
        if (len >= BT_MAX_PEER_LINE || static_cast<size_t>(len) != strlen(line)) {
            snprintf(why, why_size, "%s:%d: line longer than %d characters or holding a NUL", path,
                     line_no, BT_MAX_PEER_LINE - 2);
            ok = false;
            break;
        }
        if (line[0] == '#' || fields_of(line).empty()) continue;
        list_entry entry{};
        ok = parse_peer_line(path, line_no, line, &entry, why, why_size) &&
             !repeats_earlier(path, *entries, entry, why, why_size);
        if (ok) entries->push_back(entry);
    }
    free(line);
    if (ok && ferror(f.get())) {
        snprintf(why, why_size, "cannot read the peer list %s: %s", path, strerror(errno));
        ok = false;
    }
    return ok;
}

int check_peer_list(const char *path, int own_id, bool need_others, listed_peer_t *own, char *why,
                    size_t why_size) {
    std::vector<list_entry> entries;
    if (!read_peer_lines(path, &entries, why, why_size)) return -1;
    const list_entry *mine = nullptr;
    for (const list_entry &e : entries) {
        if (e.id == own_id) mine = &e;
    }
    if (!mine) {
        snprintf(why, why_size, "%s: no line names id %d (--id %d)", path, own_id, own_id);
        return -1;
    }
    if (need_others && entries.size() < 2) {
        snprintf(why, why_size, "%s: lists no peer but id %d itself: nobody to fetch from", path,
                 own_id);
        return -1;
    }
    own->line = mine->line;
    own->addr = mine->addr;
    own->port = mine->port;
    return 0;
}

// ---- the address to bind ---------------------------------------------------------------------

int check_bind(const char *list_path, int own_id, const listed_peer_t *own,
               const struct in_addr *bind_to, struct in_addr *bound, char *why, size_t why_size) {
    char listed[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &own->addr, listed, sizeof listed);
    *bound = own->addr;
    if (bind_to && bind_to->s_addr != own->addr.s_addr) {
        char wanted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, bind_to, wanted, sizeof wanted);
        if (bind_to->s_addr != htonl(INADDR_ANY)) {
            snprintf(why, why_size,
                     "%s:%d: id %d is listed at %s, not at --bind %s; the others send to %s",
                     list_path, own->line, own_id, listed, wanted, listed);
            return -1;
        }
        *bound = *bind_to;
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr = *bound;
    addr.sin_port = htons(own->port);
    if (sock < 0 || bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        int saved = errno;
        char at[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, bound, at, sizeof at);
        snprintf(why, why_size, "%s:%d: cannot listen on %s:%d for id %d: %s", list_path, own->line,
                 at, own->port, own_id, strerror(saved));
        if (sock >= 0) close(sock);
        return -1;
    }
    close(sock);
    return 0;
}

// ---- files -----------------------------------------------------------------------------------

// The folder a path's file is in: "." for a bare name.
static std::string folder_of(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

int check_output_file(const char *path, char *why, size_t why_size) {
    struct stat st;
    if (stat(path, &st) == 0) {
        const char *problem = nullptr;
        if (S_ISDIR(st.st_mode)) {
            problem = "it is a directory";
        } else if (!S_ISREG(st.st_mode)) {
            problem = "it is not a regular file";
        } else if (access(path, R_OK | W_OK) != 0) {
            problem = strerror(errno);
        }
        if (!problem) return 0;
        snprintf(why, why_size, "cannot write %s: %s", path, problem);
        return -1;
    }
    // A missing file, or a folder in its path that is none, is the folder's problem.
    if (errno != ENOENT && errno != ENOTDIR) {
        snprintf(why, why_size, "cannot write %s: %s", path, strerror(errno));
        return -1;
    }
    std::string folder = folder_of(path);
    const char *problem = nullptr;
    if (stat(folder.c_str(), &st) != 0) {
        problem = strerror(errno);
    } else if (!S_ISDIR(st.st_mode)) {
        problem = "it is not a folder";
    } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
        problem = strerror(errno);
    }
    if (!problem) return 0;
    snprintf(why, why_size, "cannot write %s: folder %s: %s", path, folder.c_str(), problem);
    return -1;
}

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return a && b && stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int check_path_length(const char *what, const char *path, char *why, size_t why_size) {
    if (strlen(path) < static_cast<size_t>(BT_FILENAME_LEN)) return 0;
    snprintf(why, why_size, "%s %.60s... is longer than %d characters", what, path,
             BT_FILENAME_LEN - 1);
    return -1;
}

int check_output_room(const char *path, long long min_final_bytes, char *why, size_t why_size) {
    struct stat st;
    long long held = stat(path, &st) == 0 ? static_cast<long long>(st.st_blocks) * 512 : 0;
    struct statvfs fs;
    if (statvfs(folder_of(path).c_str(), &fs) != 0 || fs.f_frsize == 0) return 0;
    long long free_bytes =
        static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
    long long needed = min_final_bytes - held;
    if (needed <= free_bytes) return 0;
    snprintf(why, why_size, "cannot write %s: the copy needs %s more, and its file system has %s free",
             path, size_text(needed).c_str(), size_text(free_bytes).c_str());
    return -1;
}

out_content existing_out_content(const char *path, const chunkitem *list, bool (*stop)(),
                                 long long *size) {
    *size = 0;
    FileHandle f(fopen(path, "rb"), &fclose);
    if (!f) return errno == ENOENT ? OUT_EMPTY : OUT_UNREADABLE;
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) return OUT_UNREADABLE;
    *size = static_cast<long long>(st.st_size);
    if (*size == 0) return OUT_EMPTY;
    std::vector<uint8_t> buf(CHUNK_SIZE);
    for (const chunkitem *c = list; c; c = c->next) {
        if (stop && stop()) return OUT_STOPPED;
        if (static_cast<long long>(c->id) * CHUNK_SIZE >= *size) continue;
        if (store_check_chunk(f.get(), c->id, c->hash, buf.data()) >= 0) return OUT_A_CHUNK;
    }
    return ferror(f.get()) ? OUT_UNREADABLE : OUT_NO_CHUNK;
}
