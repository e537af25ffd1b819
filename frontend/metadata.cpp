#include "frontend/metadata.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/chunk.h"
#include "support/why.h"

// ---- byte order, paths -----------------------------------------------------------------------

static uint64_t get_be(const uint8_t *p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; i++) v = v << 8 | p[i];
    return v;
}

static void put_be(std::vector<uint8_t> *out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; i--) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

static uint64_t chunks_for(uint64_t size) {
    return (size + CHUNK_SIZE - 1) / CHUNK_SIZE;
}

// A path for a message: control bytes shown as '?', cut after 80 bytes.
static std::string shown(const std::string &path) {
    std::string s = path.substr(0, 80);
    for (char &c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return path.size() > 80 ? s + "..." : s;
}

// Why name cannot be one component of a path; nullptr when it can.
static const char *component_fault(const char *name, size_t len) {
    if (len == 0) return "it has an empty component";
    if (len > META_MAX_COMPONENT) return "a component is longer than 255 bytes";
    if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.'))
        return "it has a '.' or '..' component";
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f) return "it holds a control character";
        if (c == '\\') return "it holds a backslash";
        if (c == '/') return "it holds a '/'";
    }
    return nullptr;
}

// Why path cannot name a shared file below a destination; nullptr when it can.
static const char *path_fault(const std::string &path) {
    if (path.empty()) return "it is empty";
    if (path.size() > META_MAX_PATH) return "it is longer than 4096 bytes";
    if (path[0] == '/') return "it is absolute";
    size_t from = 0;
    for (;;) {
        size_t slash = path.find('/', from);
        size_t end = slash == std::string::npos ? path.size() : slash;
        if (const char *fault = component_fault(path.data() + from, end - from)) return fault;
        if (slash == std::string::npos) return nullptr;
        from = slash + 1;
    }
}

// Path order: byte by byte with '/' below every other byte, which sorts component by component.
static int path_order(const std::string &a, const std::string &b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        int ca = a[i] == '/' ? 0 : static_cast<unsigned char>(a[i]) + 1;
        int cb = b[i] == '/' ? 0 : static_cast<unsigned char>(b[i]) + 1;
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

static bool starts_with_folder(const std::string &path, const std::string &folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

// ---- checking a list -------------------------------------------------------------------------

static uint64_t encoded_size(const metadata_t &m) {
    uint64_t n = sizeof(meta_header_t) + m.name.size();
    for (const meta_file_t &f : m.files)
        n += sizeof(meta_file_header_t) + f.path.size() + f.chunks.size() * HASH_SIZE;
    return n;
}

// One file on its own: its path and whether its size and chunks agree. i counts from 1.
static int check_file(const metadata_t &m, size_t i, const meta_file_t &f, char *why,
                      size_t why_size) {
    if (const char *fault = path_fault(f.path))
        return fail_why(why, why_size, "file %zu (%s): not a usable path: %s", i,
                    shown(f.path).c_str(), fault);
    if (!m.name.empty() && f.path != m.name && !starts_with_folder(f.path, m.name))
        return fail_why(why, why_size, "file %zu (%s): not below the shared name %s", i,
                    shown(f.path).c_str(), shown(m.name).c_str());
    if (f.size > static_cast<uint64_t>(FRONT_MAX_FILE_BYTES))
        return fail_why(why, why_size, "file %zu (%s): %llu bytes, more than the 1 TiB a file may hold",
                    i, shown(f.path).c_str(), static_cast<unsigned long long>(f.size));
    if (f.chunks.size() != chunks_for(f.size))
        return fail_why(why, why_size, "file %zu (%s): %zu chunk hashes for %llu bytes, which take %llu",
                    i, shown(f.path).c_str(), f.chunks.size(),
                    static_cast<unsigned long long>(f.size),
                    static_cast<unsigned long long>(chunks_for(f.size)));
    return 0;
}

// File i against the one before it: in path order, neither the same nor a folder of it.
static int check_order(const meta_file_t &prev, const meta_file_t &f, size_t i, char *why,
                       size_t why_size) {
    int order = path_order(prev.path, f.path);
    if (order == 0)
        return fail_why(why, why_size, "file %zu (%s): listed twice", i, shown(f.path).c_str());
    if (order > 0)
        return fail_why(why, why_size, "file %zu (%s): out of order, after %s", i,
                    shown(f.path).c_str(), shown(prev.path).c_str());
    if (starts_with_folder(f.path, prev.path))
        return fail_why(why, why_size, "file %zu (%s): %s is a file and a folder", i,
                    shown(f.path).c_str(), shown(prev.path).c_str());
    return 0;
}

int metadata_check(const metadata_t &m, char *why, size_t why_size) {
    if (m.chunk_size != static_cast<uint32_t>(CHUNK_SIZE))
        return fail_why(why, why_size, "chunk size %u, not %d", m.chunk_size, CHUNK_SIZE);
    if (!m.name.empty()) {
        if (const char *fault = component_fault(m.name.data(), m.name.size()))
            return fail_why(why, why_size, "the shared name %s is not a usable name: %s",
                        shown(m.name).c_str(), fault);
    }
    if (m.files.empty()) return fail_why(why, why_size, "no file in the list");
    if (m.files.size() > META_MAX_FILES)
        return fail_why(why, why_size, "%zu files, more than the %zu a swarm may hold",
                    m.files.size(), META_MAX_FILES);
    uint64_t total = 0;
    for (size_t i = 0; i < m.files.size(); i++) {
        if (check_file(m, i + 1, m.files[i], why, why_size) != 0) return -1;
        if (i > 0 && check_order(m.files[i - 1], m.files[i], i + 1, why, why_size) != 0)
            return -1;
        total += m.files[i].size;
        if (total > META_MAX_TOTAL_BYTES)
            return fail_why(why, why_size, "the files hold more than the 1 TiB a swarm may hold");
    }
    uint64_t bytes = encoded_size(m);
    if (bytes > META_MAX_BYTES)
        return fail_why(why, why_size, "the list takes %llu bytes, more than the %zu allowed",
                    static_cast<unsigned long long>(bytes), META_MAX_BYTES);
    return 0;
}

// ---- encoding --------------------------------------------------------------------------------

std::vector<uint8_t> metadata_encode(const metadata_t &m) {
    assert(m.name.size() <= META_MAX_COMPONENT && m.files.size() <= META_MAX_FILES);
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(encoded_size(m)));
    out.insert(out.end(), META_MAGIC, META_MAGIC + sizeof META_MAGIC);
    out.push_back(META_VERSION);
    out.push_back(0);
    put_be(&out, m.name.size(), 2);
    put_be(&out, m.chunk_size, 4);
    put_be(&out, m.files.size(), 4);
    out.insert(out.end(), m.name.begin(), m.name.end());
    for (const meta_file_t &f : m.files) {
        assert(f.path.size() <= META_MAX_PATH && f.chunks.size() <= UINT32_MAX);
        put_be(&out, f.size, 8);
        put_be(&out, f.chunks.size(), 4);
        put_be(&out, f.path.size(), 2);
        put_be(&out, 0, 2);
        out.insert(out.end(), f.path.begin(), f.path.end());
        for (const meta_hash_t &h : f.chunks) out.insert(out.end(), h.bytes, h.bytes + HASH_SIZE);
    }
    return out;
}

// ---- decoding --------------------------------------------------------------------------------

// The bytes not yet parsed.
struct meta_cursor_s {
    const uint8_t *at;
    size_t left;
};
typedef struct meta_cursor_s meta_cursor_t;

// The next n bytes, or nullptr when fewer are left.
static const uint8_t *take(meta_cursor_t *c, size_t n) {
    if (c->left < n) return nullptr;
    const uint8_t *p = c->at;
    c->at += n;
    c->left -= n;
    return p;
}

static int decode_header(meta_cursor_t *c, metadata_t *out, uint32_t *file_count, char *why,
                         size_t why_size) {
    const uint8_t *h = take(c, sizeof(meta_header_t));
    if (!h || memcmp(h, META_MAGIC, sizeof META_MAGIC) != 0)
        return fail_why(why, why_size, "not a tolvane file list (no TLVM header)");
    meta_header_t hd;
    memcpy(&hd, h, sizeof hd);
    if (hd.version > META_VERSION)
        return fail_why(why, why_size, "a file list of version %u, made by a newer tolvane",
                    hd.version);
    if (hd.version != META_VERSION || hd.zero != 0)
        return fail_why(why, why_size, "not a tolvane file list (version %u, byte 5 %u)", hd.version,
                    hd.zero);
    out->chunk_size = static_cast<uint32_t>(get_be(hd.chunk_size, 4));
    if (out->chunk_size != static_cast<uint32_t>(CHUNK_SIZE))
        return fail_why(why, why_size, "chunk size %u, not %d", out->chunk_size, CHUNK_SIZE);
    size_t name_len = static_cast<size_t>(get_be(hd.name_len, 2));
    *file_count = static_cast<uint32_t>(get_be(hd.file_count, 4));
    if (name_len > META_MAX_COMPONENT)
        return fail_why(why, why_size, "a shared name of %zu bytes, more than 255", name_len);
    if (*file_count == 0 || *file_count > META_MAX_FILES)
        return fail_why(why, why_size, "%u files: a list holds 1 to %zu", *file_count, META_MAX_FILES);
    const uint8_t *name = take(c, name_len);
    if (!name) return fail_why(why, why_size, "cut short in the shared name");
    out->name.assign(reinterpret_cast<const char *>(name), name_len);
    // Every file takes at least its header: a count the bytes cannot hold is refused before
    // anything is reserved for it.
    if (c->left / sizeof(meta_file_header_t) < *file_count)
        return fail_why(why, why_size, "cut short: %u files announced, room for fewer", *file_count);
    return 0;
}

static int decode_file(meta_cursor_t *c, size_t i, meta_file_t *f, char *why, size_t why_size) {
    const uint8_t *h = take(c, sizeof(meta_file_header_t));
    if (!h) return fail_why(why, why_size, "cut short at file %zu", i);
    meta_file_header_t fh;
    memcpy(&fh, h, sizeof fh);
    f->size = get_be(fh.size, 8);
    uint64_t count = get_be(fh.chunk_count, 4);
    size_t path_len = static_cast<size_t>(get_be(fh.path_len, 2));
    if (fh.zero[0] != 0 || fh.zero[1] != 0)
        return fail_why(why, why_size, "file %zu: reserved bytes are not zero", i);
    if (path_len == 0 || path_len > META_MAX_PATH)
        return fail_why(why, why_size, "file %zu: a path of %zu bytes: a path holds 1 to 4096", i,
                    path_len);
    const uint8_t *path = take(c, path_len);
    if (!path) return fail_why(why, why_size, "cut short in the path of file %zu", i);
    f->path.assign(reinterpret_cast<const char *>(path), path_len);
    if (f->size > static_cast<uint64_t>(FRONT_MAX_FILE_BYTES))
        return fail_why(why, why_size, "file %zu (%s): %llu bytes, more than the 1 TiB a file may hold",
                    i, shown(f->path).c_str(), static_cast<unsigned long long>(f->size));
    if (count != chunks_for(f->size))
        return fail_why(why, why_size, "file %zu (%s): %llu chunk hashes for %llu bytes, which take %llu",
                    i, shown(f->path).c_str(), static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(f->size),
                    static_cast<unsigned long long>(chunks_for(f->size)));
    if (c->left / HASH_SIZE < count)
        return fail_why(why, why_size, "cut short in the chunk hashes of file %zu", i);
    f->chunks.resize(static_cast<size_t>(count));
    for (meta_hash_t &hash : f->chunks) memcpy(hash.bytes, take(c, HASH_SIZE), HASH_SIZE);
    return 0;
}

int metadata_decode(const uint8_t *bytes, size_t len, metadata_t *out, char *why,
                    size_t why_size) {
    if (len > META_MAX_BYTES)
        return fail_why(why, why_size, "a file list of %zu bytes, more than the %zu allowed", len,
                    META_MAX_BYTES);
    meta_cursor_t c{bytes, len};
    uint32_t file_count = 0;
    out->files.clear();
    if (decode_header(&c, out, &file_count, why, why_size) != 0) return -1;
    // Grown file by file, so memory follows the bytes present rather than the count announced.
    for (size_t i = 0; i < file_count; i++) {
        out->files.emplace_back();
        if (decode_file(&c, i + 1, &out->files.back(), why, why_size) != 0) return -1;
    }
    if (c.left != 0)
        return fail_why(why, why_size, "%zu bytes after the last file", c.left);
    return metadata_check(*out, why, why_size);
}

// ---- digest, hash lists, destinations --------------------------------------------------------

void metadata_digest(const uint8_t *bytes, size_t len, uint8_t out[META_DIGEST_BYTES]) {
    static_assert(META_DIGEST_BYTES == crypto_hash_sha256_BYTES);
    crypto_hash_sha256(out, bytes, len);
}

std::string metadata_hash_list(const meta_file_t &f) {
    std::string text;
    text.reserve(f.chunks.size() * (HASH_HEX_SIZE + 10));
    char hex[HASH_HEX_SIZE + 1];
    for (size_t i = 0; i < f.chunks.size(); i++) {
        binary2hex(f.chunks[i].bytes, HASH_SIZE, hex);
        text += std::to_string(i) + " " + hex + "\n";
    }
    return text;
}

std::string metadata_dest_path(const metadata_t &m, const meta_file_t &f, const std::string &dest) {
    if (m.name.empty()) return dest + "/" + f.path;
    return dest + f.path.substr(std::min(m.name.size(), f.path.size()));
}

// ---- building a list from files --------------------------------------------------------------

struct dir_closer_s {
    void operator()(DIR *d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, dir_closer_s>;

// What a walk over the shared paths needs at every file.
struct meta_walk_s {
    std::vector<meta_file_t> *files;
    std::vector<std::string> *skipped;
    hash_progress_fn go_on;
    uint64_t total;  // bytes listed so far
    char *why;
    size_t why_size;
};
typedef struct meta_walk_s meta_walk_t;

// The name a shared path is placed under: its last component, or the real folder's name for
// ".", ".." and the like. Empty when it has none ("/").
static std::string top_name(const std::string &arg) {
    std::string p = arg;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
    if (!last.empty() && last != "." && last != "..") return last;
    char real[PATH_MAX];
    if (!realpath(arg.c_str(), real)) return "";
    const char *base = strrchr(real, '/');
    return base ? base + 1 : real;
}

// Hashes the regular file os_path, st as it was found, listed as rel.
static int add_file(meta_walk_t *w, const std::string &os_path, const std::string &rel,
                    const struct stat &st) {
    if (const char *fault = path_fault(rel))
        return fail_why(w->why, w->why_size, "cannot share %s: its name is not usable: %s",
                    shown(os_path).c_str(), fault);
    if (w->files->size() >= META_MAX_FILES)
        return fail_why(w->why, w->why_size, "cannot share more than %zu files", META_MAX_FILES);
    if (st.st_size > FRONT_MAX_FILE_BYTES)
        return fail_why(w->why, w->why_size, "cannot share %s: larger than 1 TiB, the largest file",
                    shown(os_path).c_str());
    meta_file_t f{rel, 0, {}};
    if (st.st_size > 0) {
        std::string text;
        std::vector<file_chunk_t> chunks;
        struct stat opened;
        if (hash_list_of_file(os_path.c_str(), w->go_on, &text, &chunks, &opened, w->why,
                              w->why_size) != 0)
            return -1;
        if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
            return fail_why(w->why, w->why_size, "cannot share %s: it was replaced while listed",
                        shown(os_path).c_str());
        for (const file_chunk_t &c : chunks) {
            meta_hash_t h;
            memcpy(h.bytes, c.hash, HASH_SIZE);
            f.chunks.push_back(h);
            f.size += static_cast<uint64_t>(c.length);
        }
    }
    w->total += f.size;
    if (w->total > META_MAX_TOTAL_BYTES)
        return fail_why(w->why, w->why_size, "cannot share more than 1 TiB in one swarm");
    w->files->push_back(std::move(f));
    return 0;
}

static int add_folder(meta_walk_t *w, const std::string &os_path, const std::string &rel);

// One entry of a folder: a file is hashed, a folder walked, anything else left out.
static int add_entry(meta_walk_t *w, const std::string &os_path, const std::string &rel) {
    struct stat st;
    if (lstat(os_path.c_str(), &st) != 0)
        return fail_why(w->why, w->why_size, "cannot share %s: %s", shown(os_path).c_str(),
                    strerror(errno));
    if (S_ISREG(st.st_mode)) return add_file(w, os_path, rel, st);
    if (S_ISDIR(st.st_mode)) return add_folder(w, os_path, rel);
    const char *what = S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file or folder";
    w->skipped->push_back("skipping " + shown(os_path) + ": it is " + what);
    return 0;
}

// The names in the folder os_path but "." and "..", sorted; -1 when it cannot be read.
static int folder_names(meta_walk_t *w, const std::string &os_path,
                        std::vector<std::string> *names) {
    DirHandle d(opendir(os_path.c_str()));
    if (!d)
        return fail_why(w->why, w->why_size, "cannot read the folder %s: %s", shown(os_path).c_str(),
                    strerror(errno));
    errno = 0;
    while (struct dirent *e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
        errno = 0;
    }
    if (errno != 0)
        return fail_why(w->why, w->why_size, "cannot read the folder %s: %s", shown(os_path).c_str(),
                    strerror(errno));
    std::sort(names->begin(), names->end());
    return 0;
}

// Walks the folder os_path, listed as rel, its entries in name order. The folder is closed
// before its entries are visited, so a deep tree holds no descriptor per level.
static int add_folder(meta_walk_t *w, const std::string &os_path, const std::string &rel) {
    if (rel.size() > META_MAX_PATH)
        return fail_why(w->why, w->why_size, "cannot share %s: its path is longer than 4096 bytes",
                    shown(os_path).c_str());
    std::vector<std::string> names;
    if (folder_names(w, os_path, &names) != 0) return -1;
    const std::string prefix = os_path.back() == '/' ? os_path : os_path + "/";
    for (const std::string &name : names) {
        if (add_entry(w, prefix + name, rel + "/" + name) != 0) return -1;
    }
    return 0;
}

// A path given to share: followed when a link, then a regular file or a folder.
static int add_top(meta_walk_t *w, const std::string &arg, const std::string &name) {
    struct stat st;
    if (stat(arg.c_str(), &st) != 0)
        return fail_why(w->why, w->why_size, "cannot share %s: %s", shown(arg).c_str(),
                    strerror(errno));
    if (S_ISREG(st.st_mode)) return add_file(w, arg, name, st);
    if (S_ISDIR(st.st_mode)) return add_folder(w, arg, name);
    return fail_why(w->why, w->why_size, "cannot share %s: it is neither a regular file nor a folder",
                shown(arg).c_str());
}

// The paths to share with the names they go under, in path order; -1 when two share a name.
static int name_tops(const std::vector<std::string> &paths,
                     std::vector<std::pair<std::string, std::string>> *tops, char *why,
                     size_t why_size) {
    for (const std::string &p : paths) {
        std::string name = top_name(p);
        if (name.empty()) return fail_why(why, why_size, "cannot share %s: it has no name", shown(p).c_str());
        tops->emplace_back(name, p);
    }
    std::sort(tops->begin(), tops->end(), [](const auto &a, const auto &b) {
        return path_order(a.first, b.first) < 0;
    });
    for (size_t i = 1; i < tops->size(); i++) {
        if ((*tops)[i - 1].first == (*tops)[i].first)
            return fail_why(why, why_size, "cannot share both %s and %s: both would be %s",
                        shown((*tops)[i - 1].second).c_str(), shown((*tops)[i].second).c_str(),
                        shown((*tops)[i].first).c_str());
    }
    return 0;
}

int metadata_build(const std::vector<std::string> &paths, hash_progress_fn go_on, metadata_t *out,
                   std::vector<std::string> *skipped, char *why, size_t why_size) {
    std::vector<std::pair<std::string, std::string>> tops;  // name, path as given
    if (paths.empty()) return fail_why(why, why_size, "nothing to share");
    if (name_tops(paths, &tops, why, why_size) != 0) return -1;
    out->chunk_size = static_cast<uint32_t>(CHUNK_SIZE);
    out->name = tops.size() == 1 ? tops[0].first : "";
    out->files.clear();
    meta_walk_t w{&out->files, skipped, go_on, 0, why, why_size};
    for (const auto &[name, path] : tops) {
        if (add_top(&w, path, name) != 0) return -1;
    }
    if (out->files.empty())
        return fail_why(why, why_size, "cannot share %s: it holds no file", shown(paths[0]).c_str());
    char fault[512];
    if (metadata_check(*out, fault, sizeof fault) != 0)
        return fail_why(why, why_size, "cannot share this: %s", fault);
    return 0;
}

// ---- opening an output file ------------------------------------------------------------------

// A descriptor this function owns, closed when it goes.
struct fd_guard_s {
    int fd = -1;
    ~fd_guard_s() {
        if (fd >= 0) close(fd);
    }
    void reset(int next) {
        if (fd >= 0) close(fd);
        fd = next;
    }
};

// Why the entry name below at_fd, shown as what, could not be opened as wanted.
static std::string open_fault(int at_fd, const char *name, const std::string &what, int err,
                              bool want_folder) {
    struct stat st;
    if (fstatat(at_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return what + " is a symbolic link, which is not followed";
        if (want_folder && !S_ISDIR(st.st_mode)) return what + " is not a folder";
        if (!want_folder && !S_ISREG(st.st_mode)) return what + " is not a regular file";
    }
    return what + ": " + strerror(err);
}

// Opens (creating it when missing) the folder name below at_fd without following a link.
static int open_folder(int at_fd, const char *name) {
    if (mkdirat(at_fd, name, 0777) != 0 && errno != EEXIST) return -1;
    return openat(at_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens (creating it when missing) the regular file name below at_fd without following a link
// and without waiting on a FIFO.
static int open_regular(int at_fd, const char *name) {
    int fd = openat(at_fd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        int err = regular ? errno : EINVAL;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int metadata_open_output(int dest_dirfd, const std::string &relpath, char *why, size_t why_size) {
    if (const char *fault = path_fault(relpath))
        return fail_why(why, why_size, "cannot write %s: not a path below the destination: %s",
                    shown(relpath).c_str(), fault);
    fd_guard_s folder;
    int at = dest_dirfd;
    size_t from = 0;
    for (size_t slash; (slash = relpath.find('/', from)) != std::string::npos; from = slash + 1) {
        std::string name = relpath.substr(from, slash - from);
        int fd = open_folder(at, name.c_str());
        if (fd < 0) {
            int err = errno;
            return fail_why(why, why_size, "cannot write %s: %s", shown(relpath).c_str(),
                        open_fault(at, name.c_str(), shown(relpath.substr(0, slash)), err, true)
                            .c_str());
        }
        folder.reset(fd);
        at = fd;
    }
    std::string name = relpath.substr(from);
    int fd = open_regular(at, name.c_str());
    if (fd < 0) {
        int err = errno;
        return fail_why(why, why_size, "cannot write %s: %s", shown(relpath).c_str(),
                    open_fault(at, name.c_str(), shown(relpath), err, false).c_str());
    }
    return fd;
}
