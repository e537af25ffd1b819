// Real swarms of peer processes on 127.0.0.1: every download must equal the data file byte for
// byte.
#include <gtest/gtest.h>

#include "peer_fixture.h"

namespace {

// Chunk ids i with i % n == r, for giving uploaders overlapping or disjoint parts.
std::vector<int> every(int count, int n, std::initializer_list<int> residues) {
    std::vector<int> ids;
    for (int i = 0; i < count; i++)
        for (int r : residues)
            if (i % n == r) ids.push_back(i);
    return ids;
}

}  // namespace

TEST(Swarm, ThreeUploadersOneDownloaderByteExact) {
    const int chunks = 12;
    pf::DataSet data(static_cast<size_t>(chunks) * CHUNK_SIZE - 1234, 21);  // a partial last chunk
    pf::Swarm s;
    s.write_peer_list({1, 2, 3, 4});
    s.write_master(data);
    s.start(2, data.lines(every(chunks, 3, {0, 1})));
    s.start(3, data.lines(every(chunks, 3, {1, 2})));
    s.start(4, data.lines(every(chunks, 3, {2, 0})));
    ts::Process &down = s.start(1, "");
    // The request lists the chunks out of order: each lands at its own id.
    std::string want;
    for (int i = chunks - 1; i >= 0; i--) want += data.lines({i});
    ts::write_file(s.path("want.chunks"), want);
    down.write_stdin("GET want.chunks out.bin\n");
    ASSERT_TRUE(
        s.wait_for([&] { return down.out.find("GOT out.bin \n") != std::string::npos; }, 60.0))
        << down.err;
    // The short last chunk arrives padded with fill bytes and is written at its real length.
    EXPECT_TRUE(ts::read_file(s.path("out.bin")) == data.bytes);

    /* a second request on the same peer is accepted once the first has finished */
    ts::write_file(s.path("two.chunks"), data.lines({3, 5}));
    down.write_stdin("GET two.chunks two.bin\n");
    ASSERT_TRUE(
        s.wait_for([&] { return down.out.find("GOT two.bin \n") != std::string::npos; }, 30.0));
    std::string two = ts::read_file(s.path("two.bin"));
    ASSERT_EQ(6u * CHUNK_SIZE, two.size());
    EXPECT_TRUE(two.substr(3 * CHUNK_SIZE, CHUNK_SIZE) ==
                data.bytes.substr(3 * CHUNK_SIZE, CHUNK_SIZE));
    EXPECT_TRUE(two.substr(5 * CHUNK_SIZE) == data.bytes.substr(5 * CHUNK_SIZE, CHUNK_SIZE));
    s.stop_all();
}

TEST(Swarm, UploadLimitEndsTheUploaderWithStatus10) {
    pf::DataSet data(2 * CHUNK_SIZE, 5);
    pf::Swarm s;
    s.write_peer_list({1, 2});
    s.write_master(data);
    ts::Process &up = s.start(2, data.lines(), {"-x", "1"});
    ts::Process &down = s.start(1, "");
    ts::write_file(s.path("want.chunks"), data.lines({1}));
    down.write_stdin("GET want.chunks out.bin\n");
    ASSERT_TRUE(s.wait_for([&] { return up.exited; }, 30.0));
    EXPECT_EQ(10, up.status);
    EXPECT_NE(
        std::string::npos,
        up.out.find(
            "******** tolvane exiting after 1 connections, as specified by -x flag ******** \n"));
    // The download itself completed before the uploader left (the last ACK ended the upload).
    ASSERT_TRUE(
        s.wait_for([&] { return down.out.find("GOT out.bin \n") != std::string::npos; }, 10.0));
    EXPECT_TRUE(ts::read_file(s.path("out.bin")).substr(CHUNK_SIZE) ==
                data.bytes.substr(CHUNK_SIZE));
    s.stop_all();
}

TEST(Swarm, DownloaderWithUploadLimitExitsAfterItsDownload) {
    pf::DataSet data(CHUNK_SIZE, 9);
    pf::Swarm s;
    s.write_peer_list({1, 2});
    s.write_master(data);
    s.start(2, data.lines());
    ts::Process &down = s.start(1, "", {"-x", "3"});
    ts::write_file(s.path("want.chunks"), data.lines());
    down.write_stdin("GET want.chunks out.bin\n");
    ASSERT_TRUE(s.wait_for([&] { return down.exited; }, 30.0));
    EXPECT_EQ(10, down.status);
    EXPECT_NE(std::string::npos,
              down.out.find("GOT out.bin \n********* tolvane exiting after 3 connections, as "
                            "specified by -x flag ***********\n"));
    EXPECT_TRUE(ts::read_file(s.path("out.bin")) == data.bytes);
    s.stop_all();
}
