#include "frontend/chunkfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "engine/chunklist.h"
#include "engine/util.h"
#include "support/chunk.h"

// ---- making a hash list ----------------------------------------------------------------------

// Opens path for reading when it is a regular file with at least one byte; nullptr with the
// reason in why otherwise.
static FILE *open_shared_file(const char *path, char *why, size_t why_size) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        snprintf(why, why_size, "cannot read %s: %s", path, strerror(errno));
        return nullptr;
    }
    struct stat st;
    const char *problem = nullptr;
    if (fstat(fileno(f), &st) != 0) {
        problem = strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = "it is a directory";
    } else if (!S_ISREG(st.st_mode)) {
        problem = "it is not a regular file";
    } else if (st.st_size == 0) {
        problem = "it is empty, there is nothing to share";
    }
    if (problem) {
        snprintf(why, why_size, "cannot share %s: %s", path, problem);
        fclose(f);
        return nullptr;
    }
    return f;
}

int hash_list_of_file(const char *path, hash_progress_fn go_on, std::string *text,
                      std::vector<file_chunk_t> *chunks, struct stat *opened, char *why,
                      size_t why_size) {
    FileHandle f(open_shared_file(path, why, why_size), &fclose);
    if (!f) return -1;
    if (fstat(fileno(f.get()), opened) != 0) memset(opened, 0, sizeof *opened);
    long long size = static_cast<long long>(opened->st_size);
    std::vector<uint8_t> buf(CHUNK_SIZE);
    text->clear();
    chunks->clear();
    long long hashed = 0;
    for (;;) {
        if (go_on && !go_on(hashed, size)) {
            why[0] = '\0';
            return -1;
        }
        size_t got = fread(buf.data(), 1, buf.size(), f.get());
        if (got == 0) break;
        file_chunk_t chunk{};
        chunk.length = static_cast<int>(got);
        shahash(buf.data(), chunk.length, chunk.hash);
        char hex[HASH_HEX_SIZE + 1];
        binary2hex(chunk.hash, HASH_SIZE, hex);
        *text += std::to_string(chunks->size()) + " " + hex + "\n";
        chunks->push_back(chunk);
        hashed += chunk.length;
        if (got < buf.size()) break;
    }
    if (ferror(f.get())) {
        snprintf(why, why_size, "cannot read %s: %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

// ---- writing it ------------------------------------------------------------------------------

// Whether the regular file at path holds exactly text (false when it cannot be read).
static bool holds_exactly(const char *path, const std::string &text) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) != text.size())
        return false;
    FileHandle f(fopen(path, "rb"), &fclose);
    if (!f) return false;
    std::string have(text.size(), '\0');
    return fread(have.data(), 1, have.size(), f.get()) == have.size() && have == text;
}

// A new file beside path that will be renamed over it; -1 with the reason in why when path is
// no regular file or its folder takes no new file.
static int open_beside(const char *path, std::string *temp, char *why, size_t why_size) {
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        snprintf(why, why_size, "cannot write the hash list %s: it is not a regular file", path);
        return -1;
    }
    *temp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(temp->data());
    if (fd < 0)
        snprintf(why, why_size, "cannot write the hash list %s: %s", path, strerror(errno));
    return fd;
}

int check_hash_list_path(const char *path, char *why, size_t why_size) {
    std::string temp;
    int fd = open_beside(path, &temp, why, why_size);
    if (fd < 0) return -1;
    close(fd);
    unlink(temp.c_str());
    return 0;
}

int write_hash_list(const char *path, const std::string &text, bool *written, char *why,
                    size_t why_size) {
    *written = false;
    if (holds_exactly(path, text)) return 0;
    // Written beside the old list and renamed over it, so that a reader never sees half a list.
    std::string temp;
    int fd = open_beside(path, &temp, why, why_size);
    if (fd < 0) return -1;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);  // mkstemp's 0600 would keep the list from those it is for
    FILE *f = fdopen(fd, "w");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    int saved = errno;
    if (f ? fclose(f) != 0 : close(fd) != 0) ok = false;
    if (ok && rename(temp.c_str(), path) != 0) {
        saved = errno;
        ok = false;
    }
    if (!ok) {
        unlink(temp.c_str());
        snprintf(why, why_size, "cannot write the hash list %s: %s", path, strerror(saved));
        return -1;
    }
    *written = true;
    return 0;
}

// ---- reading one -----------------------------------------------------------------------------

static bool is_blank(const char *line) {
    for (; *line; line++) {
        if (!isspace(static_cast<unsigned char>(*line))) return false;
    }
    return true;
}

// Checks one line; appends its chunk at *tail. False with the reason in why.
static bool take_line(const char *path, char *line, ssize_t len, int line_no,
                      std::unordered_map<int, int> *seen, chunkitem ***tail, char *why,
                      size_t why_size) {
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    if (static_cast<size_t>(len) != strlen(line)) {
        snprintf(why, why_size, "%s:%d: a NUL byte; not a hash list", path, line_no);
        return false;
    }
    if (is_blank(line)) return true;
    int index;
    uint8_t hash[HASH_SIZE];
    if (!parseChunkLine(line, static_cast<size_t>(len), &index, hash)) {
        snprintf(why, why_size, "%s:%d: not a chunk line (\"<index> <40 hex digits>\")", path,
                 line_no);
        return false;
    }
    if (index >= FRONT_MAX_CHUNKS) {
        snprintf(why, why_size,
                 "%s:%d: chunk index %d is beyond %d, the last of a %lld TiB file, the largest "
                 "tolvane fetches",
                 path, line_no, index, FRONT_MAX_CHUNKS - 1, FRONT_MAX_FILE_BYTES >> 40);
        return false;
    }
    auto [at, fresh] = seen->emplace(index, line_no);
    if (!fresh) {
        snprintf(why, why_size, "%s:%d: chunk %d is already listed on line %d", path, line_no,
                 index, at->second);
        return false;
    }
    chunklist_add(*tail, hash, index);
    *tail = &(**tail)->next;
    return true;
}

// n distinct indices below n are 0 to n-1: the chunks of a file, each at its place, so that a
// copy that ends where its furthest chunk does holds nothing unchecked. Names the first line
// (in file order) whose index is out of range otherwise.
static bool indices_are_dense(const char *path, const std::unordered_map<int, int> &seen,
                              char *why, size_t why_size) {
    int n = static_cast<int>(seen.size());
    int bad_line = 0, bad_index = 0;
    for (const auto &[index, line] : seen) {
        if (index >= n && (bad_line == 0 || line < bad_line)) {
            bad_line = line;
            bad_index = index;
        }
    }
    if (bad_line == 0) return true;
    snprintf(why, why_size, "%s:%d: chunk index %d is out of range: a list of %s holds indices 0 to %d, each once",
             path, bad_line, bad_index, counted(n, "chunk").c_str(), n - 1);
    return false;
}

chunkitem *read_hash_list(const char *path, int *count, char *why, size_t why_size) {
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        snprintf(why, why_size, "cannot read the hash list %s: it is a directory", path);
        return nullptr;
    }
    FileHandle f(fopen(path, "r"), &fclose);
    if (!f) {
        snprintf(why, why_size, "cannot read the hash list %s: %s", path, strerror(errno));
        return nullptr;
    }
    chunkitem *head = nullptr;
    chunkitem **tail = &head;
    std::unordered_map<int, int> seen;  // index -> line that named it
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    int line_no = 0;
    bool ok = true;
    while (ok && (len = getline(&line, &cap, f.get())) >= 0)
        ok = take_line(path, line, len, ++line_no, &seen, &tail, why, why_size);
    free(line);
    if (ok && ferror(f.get())) {
        snprintf(why, why_size, "cannot read the hash list %s: %s", path, strerror(errno));
        ok = false;
    }
    if (ok && !head) {
        snprintf(why, why_size, "%s: holds no chunk line (\"<index> <40 hex digits>\")", path);
        ok = false;
    }
    if (ok) ok = indices_are_dense(path, seen, why, why_size);
    if (!ok) {
        chunklist_free(head);
        return nullptr;
    }
    *count = static_cast<int>(seen.size());
    return head;
}

std::string counted(long long n, const char *noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string size_text(long long bytes) {
    char text[64];
    double b = static_cast<double>(bytes);
    if (bytes < 10 * 1024) {
        snprintf(text, sizeof text, "%s", counted(bytes, "byte").c_str());
    } else if (bytes < 1024 * 1024) {
        snprintf(text, sizeof text, "%.0f KiB", b / 1024);
    } else if (bytes < 1024LL * 1024 * 1024) {
        snprintf(text, sizeof text, "%.1f MiB", b / (1024 * 1024));
    } else {
        snprintf(text, sizeof text, "%.2f GiB", b / (1024.0 * 1024 * 1024));
    }
    return text;
}
