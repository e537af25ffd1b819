// Chunk hashing of buffers and files, and the hex conversions in both directions.
#include "support/chunk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr size_t kChunk = 524288;

std::string hex_of(const uint8_t *digest) {
    char text[41];
    binary2hex(digest, 20, text);
    return std::string(text, 40);
}

std::string shahash_hex(const std::string &bytes) {
    uint8_t digest[20];
    shahash(reinterpret_cast<const uint8_t *>(bytes.data()), static_cast<int>(bytes.size()),
            digest);
    return hex_of(digest);
}

using FilePtr = std::unique_ptr<FILE, decltype(&fclose)>;

FilePtr open_file(const std::string &path) {
    return FilePtr(fopen(path.c_str(), "rb"), &fclose);
}

// Digest areas with a guard pattern, so that writes past the areas a caller hands over show.
struct Areas {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<uint8_t *> ptrs;
    explicit Areas(size_t n) : bytes(n, std::vector<uint8_t>(20, 0xEE)) {
        for (auto &b : bytes) ptrs.push_back(b.data());
    }
    bool untouched(size_t i) const { return bytes[i] == std::vector<uint8_t>(20, 0xEE); }
};

}  // namespace

// ---- shahash ---------------------------------------------------------------------------------

TEST(Shahash, KnownAnswersAndReference) {
    EXPECT_EQ(shahash_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(shahash_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const std::string chunk = ts::random_bytes(kChunk, 5);
    EXPECT_EQ(shahash_hex(chunk), ts::reference_sha1_hex(chunk));

    /* a negative length hashes nothing instead of reading out of bounds */
    uint8_t digest[20];
    shahash(reinterpret_cast<const uint8_t *>("abc"), -3, digest);
    EXPECT_EQ(hex_of(digest), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

// ---- make_chunks -----------------------------------------------------------------------------

TEST(MakeChunks, CutsFilesAtChunkBoundaries) {
    ts::TempDir dir;
    struct Case {
        size_t size;
        int chunks;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {kChunk, 1}, {kChunk + 1, 2}, {2 * kChunk + 1, 3}};
    uint32_t seed = 20;
    for (const Case &c : cases) {
        const std::string data = ts::random_bytes(c.size, seed++);
        const std::string path = dir.file("f" + std::to_string(c.size));
        ts::write_file(path, data);
        FilePtr fp = open_file(path);
        ASSERT_NE(fp, nullptr);

        Areas areas(4);
        const int got = make_chunks(fp.get(), areas.ptrs.data(), 4);
        ASSERT_EQ(got, c.chunks) << c.size << " bytes";
        for (int k = 0; k < got; k++) {
            const size_t from = static_cast<size_t>(k) * kChunk;
            const std::string slice = data.substr(from, kChunk);  // the last one is shorter
            EXPECT_EQ(hex_of(areas.ptrs[static_cast<size_t>(k)]), ts::reference_sha1_hex(slice))
                << c.size << " bytes, chunk " << k;
        }
        for (size_t k = static_cast<size_t>(got); k < 4; k++) EXPECT_TRUE(areas.untouched(k));
    }
}

// The bound protects callers whose file grew after they sized their digest areas.
TEST(MakeChunks, StopsAtMaxChunks) {
    ts::TempDir dir;
    const std::string data = ts::random_bytes(3 * kChunk, 30);
    const std::string path = dir.file("three");
    ts::write_file(path, data);

    /* fewer areas than chunks: only the first two are hashed */
    {
        FilePtr fp = open_file(path);
        Areas areas(3);
        EXPECT_EQ(make_chunks(fp.get(), areas.ptrs.data(), 2), 2);
        EXPECT_EQ(hex_of(areas.ptrs[0]), shahash_hex(data.substr(0, kChunk)));
        EXPECT_EQ(hex_of(areas.ptrs[1]), shahash_hex(data.substr(kChunk, kChunk)));
        EXPECT_TRUE(areas.untouched(2));
    }
    /* no areas at all */
    {
        FilePtr fp = open_file(path);
        Areas areas(1);
        EXPECT_EQ(make_chunks(fp.get(), areas.ptrs.data(), 0), 0);
        EXPECT_TRUE(areas.untouched(0));
    }
}

// ---- hex -------------------------------------------------------------------------------------

TEST(Hex, Binary2hexWritesLowerCaseAndNul) {
    const uint8_t bytes[] = {0x00, 0xAB, 0x0F};
    char text[8];
    memset(text, 'X', sizeof text);
    binary2hex(bytes, 3, text);
    EXPECT_EQ(std::string(text, 7), std::string("00ab0f\0", 7));
    EXPECT_EQ(text[7], 'X');  // nothing beyond the terminator

    /* zero bytes: just the terminator */
    text[0] = 'X';
    binary2hex(bytes, 0, text);
    EXPECT_EQ(text[0], '\0');
}

TEST(Hex, Hex2binaryReadsEitherCase) {
    for (const char *text : {"00AB0f", "00ab0F"}) {
        uint8_t out[4] = {0x11, 0x11, 0x11, 0x11};
        hex2binary(text, 6, out);
        EXPECT_EQ(out[0], 0x00) << text;
        EXPECT_EQ(out[1], 0xAB) << text;
        EXPECT_EQ(out[2], 0x0F) << text;
        EXPECT_EQ(out[3], 0x11) << text;  // len / 2 bytes, no more
    }
}

TEST(Hex, RoundTripsEveryByteValue) {
    uint8_t all[256];
    for (int i = 0; i < 256; i++) all[i] = static_cast<uint8_t>(i);
    char text[513];
    binary2hex(all, 256, text);
    ASSERT_EQ(strlen(text), 512u);
    EXPECT_EQ(std::string(text, 8), "00010203");
    EXPECT_EQ(std::string(text + 504, 8), "fcfdfeff");

    uint8_t back[256];
    hex2binary(text, 512, back);
    EXPECT_EQ(memcmp(back, all, sizeof all), 0);

    /* the same text in upper case reads back to the same bytes */
    for (char &ch : text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    memset(back, 0, sizeof back);
    hex2binary(text, 512, back);
    EXPECT_EQ(memcmp(back, all, sizeof all), 0);
}

// Characters outside the hex digits are not rejected: code - 48 at or below '9', else code - 55,
// eight bits, and the second digit's whole value is or-ed in.
TEST(Hex, NonHexCharactersFollowTheDigitArithmetic) {
    struct Case {
        const char *text;
        uint8_t byte;
    };
    const Case cases[] = {
        {"G0", 0x00},        // 'G' is 16: shifted out of the byte entirely
        {"0G", 0x10},        // 16 or-ed in lands in the high nibble
        {"g1", 0x01},        // lower case is upper-cased first, same as 'G'
        {" 1", 0x01},        // ' ' is 32 - 48 = 240; shifted left it leaves 0
        {"1 ", 0xF0},        // 0x10 | 240
        {"0z", 0x23},        // 'Z' is 90 - 55 = 35
        {"\xe9\x30", 0x90},  // 0xE9 '0': negative as a char, so <= '9': 233 - 48 = 0xB9
        {"\x30\xe9", 0xB9},  // '0' 0xE9
    };
    for (const Case &c : cases) {
        uint8_t out = 0x55;
        hex2binary(c.text, 2, &out);
        EXPECT_EQ(out, c.byte) << "\"" << c.text << "\"";
    }
}

TEST(Hex, OddLengthTakesTheTerminatorAsLastDigit) {
    uint8_t out[3] = {0x55, 0x55, 0x55};
    hex2binary("abc", 3, out);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xD0);  // 0xC0 | NUL's value (0 - 48 = 208 = 0xD0)
    EXPECT_EQ(out[2], 0x55);
}
