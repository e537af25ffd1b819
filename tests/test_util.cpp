#include "engine/util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/debug.h"
#include "engine_fixture.h"

namespace {

const char *kHashA = "0123456789abcdef0123456789abcdef01234567";
const char *kHashAUpper = "0123456789ABCDEF0123456789ABCDEF01234567";
const char *kHashB = "ffeeddccbbaa99887766554433221100ffeeddcc";

std::vector<std::pair<int, std::string>> entries(const chunkitem *l) {
    std::vector<std::pair<int, std::string>> v;
    for (; l; l = l->next)
        v.emplace_back(l->id, std::string(reinterpret_cast<const char *>(l->hash), HASH_SIZE));
    return v;
}

std::string raw(const char *hex) {
    std::string out;
    for (int i = 0; i < 40; i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(HashFile, WellFormedLinesInFileOrderEitherCase) {
    ts::TempDir dir;
    std::string path = dir.file("h.chunks");
    ts::write_file(path,
                   std::string("2 ") + kHashB + "\n0 " + kHashA + "\n7 " + kHashAUpper + "\n");
    bt_config_t config{};
    chunkitem *l = readHashesFromFile(path.c_str(), 0, &config);
    auto e = entries(l);
    ASSERT_EQ(3u, e.size());
    EXPECT_EQ(std::make_pair(2, raw(kHashB)), e[0]);
    EXPECT_EQ(std::make_pair(0, raw(kHashA)), e[1]);
    EXPECT_EQ(std::make_pair(7, raw(kHashA)), e[2]);
    chunklist_free(l);
}

TEST(HashFile, MalformedLinesAreSkippedAndNamed) {
    ts::TempDir dir;
    std::string path = dir.file("bad.chunks");
    ts::write_file(path, std::string("1 ") + kHashA + "\n" +                     // good, line 1
                             "\n" +                                              // empty
                             "nohashhere\n" +                                    // no blank
                             "3 " + std::string(kHashA).substr(0, 39) + "\n" +   // 39 digits
                             "4 " + kHashA + "0\n" +                             // 41 digits
                             "5 " + std::string(kHashA).substr(0, 39) + "g\n" +  // not hex
                             "6\t" + kHashA + "\n" +  // a tab is no separator
                             "x " + kHashA + "\n" +   // a chunk number is digits only
                             "7 " + kHashA + std::string(1, '\0') + "z\n" +  // NUL, then more
                             "9 " + kHashB);  // last line without newline
    bt_config_t config{};
    unsigned saved = debug;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    chunkitem *l = readHashesFromFile(path.c_str(), 0, &config);
    std::string err = testing::internal::GetCapturedStderr();
    debug = saved;
    auto e = entries(l);
    ASSERT_EQ(2u, e.size());
    EXPECT_EQ(std::make_pair(1, raw(kHashA)), e[0]);
    EXPECT_EQ(std::make_pair(9, raw(kHashB)), e[1]);  // its last digit was not dropped
    for (int line : {2, 3, 4, 5, 6, 7, 8, 9}) {
        EXPECT_NE(std::string::npos, err.find(path + ":" + std::to_string(line) + ":")) << line;
    }
    chunklist_free(l);
}

TEST(HashFile, MissingFileIsEmptyAndNamedUnderDebug1) {
    bt_config_t config{};
    unsigned saved = debug;
    debug = DEBUG_ERRS;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, readHashesFromFile("/nonexistent/x.chunks", 0, &config));
    EXPECT_EQ("Error: could not open hash_file: /nonexistent/x.chunks \n",
              testing::internal::GetCapturedStderr());
    debug = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, readHashesFromFile("/nonexistent/x.chunks", 0, &config));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    debug = saved;
}

TEST(HashFile, MasterFileHeader) {
    ts::TempDir dir;
    std::string path = dir.file("master");
    bt_config_t config{};
    struct {
        const char *label;
        std::string text;
        const char *data_file;  // expected chunk_data_file afterwards
        bool complains;
    } cases[] = {
        {"blank after colon", std::string("File: /data/x.tar\nChunks:\n0 ") + kHashA + "\n",
         "/data/x.tar", false},
        {"no blank loses a character", std::string("File:/data/y.tar\nChunks:\n0 ") + kHashA + "\n",
         "data/y.tar", false},
        {"no colon keeps the old name", std::string("File /z\nChunks:\n0 ") + kHashA + "\n",
         "data/y.tar", true},
        {"path too long", "File: " + std::string(300, 'p') + "\nChunks:\n0 " + kHashA + "\n",
         "data/y.tar", true},
        {"line 2 is never parsed", std::string("File: /d\n1 ") + kHashB + "\n0 " + kHashA + "\n",
         "/d", false},
    };
    for (auto &c : cases) {
        ts::write_file(path, c.text);
        testing::internal::CaptureStderr();
        chunkitem *l = readHashesFromFile(path.c_str(), 1, &config);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(c.data_file, config.chunk_data_file) << c.label;
        EXPECT_EQ(c.complains, !err.empty()) << c.label;
        auto e = entries(l);
        ASSERT_EQ(1u, e.size()) << c.label;  // the chunk lines are read in every case
        EXPECT_EQ(std::make_pair(0, raw(kHashA)), e[0]) << c.label;
        chunklist_free(l);
    }
    /* an empty master file */
    ts::write_file(path, "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, readHashesFromFile(path.c_str(), 1, &config));
    EXPECT_NE("", testing::internal::GetCapturedStderr());
    EXPECT_STREQ("/d", config.chunk_data_file);
}

TEST(PeerLookup, MatchesAddressAndPortAndMapsZeroAddress) {
    ef::Engine e(2);
    struct sockaddr_in from = e.addr_of(3);
    EXPECT_EQ(e.peer(3), getPeerFromSockinfo(&e.config, &from));
    from.sin_port = htons(static_cast<uint16_t>(ntohs(from.sin_port) + 1));
    EXPECT_EQ(nullptr, getPeerFromSockinfo(&e.config, &from));

    struct sockaddr_in zero = e.addr_of(2);
    zero.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(e.peer(2), getPeerFromSockinfo(&e.config, &zero));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), zero.sin_addr.s_addr);  // the caller sees the rewrite
}

TEST(DumpBytes, WidensAsSignedChar) {
    const char bytes[] = {0x5b, static_cast<char>(0x80), static_cast<char>(0xff)};
    testing::internal::CaptureStdout();
    dumpBytes(bytes, 3);
    EXPECT_EQ("byte 0 = 5b \nbyte 1 = ffffff80 \nbyte 2 = ffffffff \n",
              testing::internal::GetCapturedStdout());
}
