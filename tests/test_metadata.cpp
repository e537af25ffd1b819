// The swarm's file list: built from a folder tree, its encoding decoded back and every kind of
// inconsistent or cut input refused, the digest, and output files that cannot leave their folder.
#include "frontend/metadata.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr size_t kChunk = CHUNK_SIZE;

// A tree: nested folders, an empty file, files of one chunk and of one chunk and a byte, and a
// symbolic link, which is left out.
void make_tree(const std::string &root) {
    mkdir(root.c_str(), 0755);
    mkdir((root + "/a").c_str(), 0755);
    mkdir((root + "/a/b").c_str(), 0755);
    ts::write_file(root + "/a/b/one.bin", ts::random_bytes(kChunk, 1));
    ts::write_file(root + "/a/empty", "");
    ts::write_file(root + "/a.txt", "abc");
    ts::write_file(root + "/more.bin", ts::random_bytes(kChunk + 1, 2));
    symlink("a.txt", (root + "/link").c_str());
}

metadata_t built(const std::vector<std::string> &paths, std::vector<std::string> *skipped) {
    metadata_t m;
    char why[512] = "";
    EXPECT_EQ(metadata_build(paths, nullptr, &m, skipped, why, sizeof why), 0) << why;
    return m;
}

// The reason metadata_decode gives for bytes; "" when they decode.
std::string refusal(const std::vector<uint8_t> &bytes) {
    metadata_t m;
    char why[512] = "";
    return metadata_decode(bytes.data(), bytes.size(), &m, why, sizeof why) == 0 ? "" : why;
}

metadata_t one_file(const std::string &name, const std::string &path, uint64_t size) {
    metadata_t m{static_cast<uint32_t>(CHUNK_SIZE), name, {}};
    m.files.push_back({path, size, std::vector<meta_hash_t>((size + kChunk - 1) / kChunk)});
    return m;
}

}  // namespace

TEST(Metadata, BuildsAFolderTreeInNameOrder) {
    ts::TempDir dir;
    make_tree(dir.file("tree"));
    std::vector<std::string> skipped;
    metadata_t m = built({dir.file("tree") + "/"}, &skipped);
    EXPECT_EQ(m.name, "tree");
    const char *paths[] = {"tree/a/b/one.bin", "tree/a/empty", "tree/a.txt", "tree/more.bin"};
    const uint64_t sizes[] = {kChunk, 0, 3, kChunk + 1};
    ASSERT_EQ(m.files.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(m.files[i].path, paths[i]);
        EXPECT_EQ(m.files[i].size, sizes[i]) << paths[i];
    }
    EXPECT_EQ(m.files[3].chunks.size(), 2u);
    EXPECT_EQ(metadata_hash_list(m.files[3]),
              "0 " + ts::reference_sha1_hex(ts::random_bytes(kChunk + 1, 2).substr(0, kChunk)) +
                  "\n1 " + ts::reference_sha1_hex(ts::random_bytes(kChunk + 1, 2).substr(kChunk)) +
                  "\n");
    EXPECT_EQ(skipped, std::vector<std::string>{"skipping " + dir.file("tree") +
                                                "/link: it is a symbolic link"});
    EXPECT_EQ(metadata_dest_path(m, m.files[1], "copy"), "copy/a/empty");

    /* one file: named by it, and the destination is the file itself */
    metadata_t single = built({dir.file("tree/a.txt")}, &skipped);
    EXPECT_EQ(single.name, "a.txt");
    EXPECT_EQ(metadata_dest_path(single, single.files[0], "out.txt"), "out.txt");
    /* several: no name, each at the top; two of one name refused */
    metadata_t several = built({dir.file("tree/more.bin"), dir.file("tree/a")}, &skipped);
    EXPECT_EQ(several.name, "");
    EXPECT_EQ(several.files[0].path, "a/b/one.bin");
    EXPECT_EQ(metadata_dest_path(several, several.files[0], "."), "./a/b/one.bin");
    char why[512];
    EXPECT_EQ(metadata_build({dir.file("tree/a.txt"), dir.file("tree/a.txt")}, nullptr, &several,
                             &skipped, why, sizeof why), -1);
    EXPECT_NE(std::string(why).find("both would be a.txt"), std::string::npos) << why;
}

TEST(Metadata, EncodingRoundTripsAndNamesTheSwarm) {
    ts::TempDir dir;
    make_tree(dir.file("tree"));
    std::vector<std::string> skipped;
    std::vector<uint8_t> bytes = metadata_encode(built({dir.file("tree")}, &skipped));
    EXPECT_EQ(metadata_encode(built({dir.file("tree")}, &skipped)), bytes);
    metadata_t back;
    char why[512] = "";
    ASSERT_EQ(metadata_decode(bytes.data(), bytes.size(), &back, why, sizeof why), 0) << why;
    EXPECT_EQ(metadata_encode(back), bytes);

    uint8_t digest[META_DIGEST_BYTES], other[META_DIGEST_BYTES];
    metadata_digest(bytes.data(), bytes.size(), digest);
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] ^= 1;
        metadata_digest(bytes.data(), bytes.size(), other);
        EXPECT_NE(memcmp(digest, other, sizeof digest), 0) << "byte " << i;
        bytes[i] ^= 1;
    }
    /* FIPS 180-2, appendix B.1: SHA-256("abc") */
    metadata_digest(reinterpret_cast<const uint8_t *>("abc"), 3, digest);
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);
    /* cut at every length */
    for (size_t n = 0; n < bytes.size(); n++) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
        EXPECT_NE(refusal(cut), "") << "cut to " << n;
    }
}

TEST(Metadata, RefusesUnusablePathsAndListsThatDisagree) {
    struct {
        metadata_t m;
        const char *reason;
    } cases[] = {
        {one_file("", "/abs", 1), "it is absolute"},
        {one_file("", "a/../b", 1), "'..'"},
        {one_file("", "./b", 1), "'.'"},
        {one_file("", "a//b", 1), "empty component"},
        {one_file("", "a/", 1), "empty component"},
        {one_file("", "a\\b", 1), "backslash"},
        {one_file("", std::string("a\x01") + "b", 1), "control character"},
        {one_file("", std::string("a\0b", 3), 1), "control character"},
        {one_file("", std::string(256, 'x'), 1), "longer than 255"},
        {one_file("x", "y/z", 1), "not below the shared name x"},
        {one_file("..", "../z", 1), "not a usable name"},
        {one_file("x/y", "x/y/z", 1), "not a usable name"},
        {one_file("", "f", (1ULL << 40) + 1), "more than the 33554432 allowed"},
    };
    for (auto &c : cases) {
        std::string why = refusal(metadata_encode(c.m));
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.m.files[0].path << ": " << why;
    }
    metadata_t m = one_file("", "a", 1);
    m.files.push_back(m.files[0]);
    EXPECT_NE(refusal(metadata_encode(m)).find("listed twice"), std::string::npos);
    m.files[1].path = "a/b";
    EXPECT_NE(refusal(metadata_encode(m)).find("a is a file and a folder"), std::string::npos);
    m.files[0].path = "b";
    EXPECT_NE(refusal(metadata_encode(m)).find("out of order"), std::string::npos);
    m.files[0].path = "a.b";  // after "a/b" in path order, before it in byte order
    EXPECT_NE(refusal(metadata_encode(m)).find("out of order"), std::string::npos);
    std::swap(m.files[0], m.files[1]);
    EXPECT_EQ(refusal(metadata_encode(m)), "");
    m.files[0].chunks.clear();
    EXPECT_NE(refusal(metadata_encode(m)).find("0 chunk hashes for 1 bytes"), std::string::npos);
    char why[512];
    m.files[0].path = std::string(4097, 'x');
    EXPECT_EQ(metadata_check(m, why, sizeof why), -1);
    EXPECT_NE(std::string(why).find("longer than 4096"), std::string::npos) << why;

    /* the fixed fields, changed in a good encoding */
    const std::vector<uint8_t> good = metadata_encode(one_file("", "f", 5));
    struct {
        size_t at;
        uint8_t value;
        const char *reason;
    } bytes[] = {
        {0, 'X', "no TLVM header"},        {4, 2, "made by a newer tolvane"},
        {5, 1, "not a tolvane file list"}, {9, 0, "chunk size"},
        {15, 0, "0 files"},                {15, 2, "cut short"},
        {16 + 11, 0, "0 chunk hashes"},    {16 + 14, 1, "reserved bytes"},
        {16 + 12, 0x10, "a path of 4097"},
    };
    for (const auto &b : bytes) {
        std::vector<uint8_t> changed = good;
        changed[b.at] = b.value;
        std::string reason = refusal(changed);
        EXPECT_NE(reason.find(b.reason), std::string::npos) << "byte " << b.at << ": " << reason;
    }
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_NE(refusal(longer).find("1 bytes after the last file"), std::string::npos);
}

TEST(Metadata, OutputFilesStayInsideTheirFolder) {
    ts::TempDir dir;
    mkdir(dir.file("dest").c_str(), 0755);
    mkdir(dir.file("elsewhere").c_str(), 0755);
    symlink(dir.file("elsewhere").c_str(), dir.file("dest/link").c_str());
    symlink(dir.file("elsewhere/f").c_str(), dir.file("dest/file-link").c_str());
    int dest = open(dir.file("dest").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dest, 0);
    char why[512] = "";

    /* made with its folders, then opened again without losing what it holds */
    int fd = metadata_open_output(dest, "x/y/f.bin", why, sizeof why);
    ASSERT_GE(fd, 0) << why;
    ASSERT_EQ(write(fd, "kept", 4), 4);
    close(fd);
    fd = metadata_open_output(dest, "x/y/f.bin", why, sizeof why);
    ASSERT_GE(fd, 0) << why;
    close(fd);
    EXPECT_EQ(ts::read_file(dir.file("dest/x/y/f.bin")), "kept");

    struct {
        const char *path;
        const char *reason;
    } refused[] = {
        {"../x", "'..'"},
        {"/etc/x", "absolute"},
        {"link/f", "link is a symbolic link"},
        {"file-link", "file-link is a symbolic link"},
        {"x/y/f.bin/z", "x/y/f.bin is not a folder"},
    };
    for (const auto &r : refused) {
        EXPECT_EQ(metadata_open_output(dest, r.path, why, sizeof why), -1) << r.path;
        EXPECT_NE(std::string(why).find(r.reason), std::string::npos) << r.path << ": " << why;
    }
    EXPECT_EQ(access(dir.file("elsewhere/f").c_str(), F_OK), -1);
    close(dest);
}
