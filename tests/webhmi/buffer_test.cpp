// Buffers, the buffer pool and the request field dictionary.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "platform/fileio.h"
#include "testsupport/temp_root.h"
#include "webhmi_fixture.h"

namespace {

class Buffer : public WebHmiTest {};

const char kOverflowOf4096[] = "Buffer overflow - max size 4096, wants 5000";

TEST_F(Buffer, PooledRecordComesBackClean) {
    dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 512, 4096, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->marker, kDartuBufferFresh);
    ASSERT_EQ(dartu_buffer_put_data(b, "secret session data", 19), 0);
    b->read_pos = 7;
    dartu_buffer_return(b);
    EXPECT_EQ(b->marker, kDartuBufferReturned);

    dartu_buffer* again = dartu_buffer_get(kDartuBufHeader, 16, 1024, 0);
    ASSERT_EQ(again, b);  // reused from the pool
    EXPECT_EQ(again->marker, kDartuBufferFromPool);
    EXPECT_EQ(again->kind, kDartuBufHeader);
    EXPECT_EQ(again->length, 0u);
    EXPECT_EQ(again->read_pos, 0u);
    EXPECT_EQ(again->maximum, 1024u);
    EXPECT_EQ(again->response_status, -1);
    for (u32 i = 0; i < again->capacity; ++i) ASSERT_EQ(again->storage[i], 0) << i;
    dartu_buffer_return(again);
}

TEST_F(Buffer, GrowthFollowsPowersOfTwoAndStopsAtTheMaximum) {
    dartu_buffer* fresh = dartu_buffer_get(kDartuBufContent, 0, 0x800000, 0);
    ASSERT_EQ(dartu_buffer_grow(fresh, 5000), 0);
    EXPECT_EQ(fresh->capacity, 8192u);  // exactly the target on first allocation
    ASSERT_EQ(dartu_buffer_grow(fresh, 8193), 0);
    EXPECT_EQ(fresh->capacity, 32768u);  // doubled ahead below 1 MiB

    dartu_buffer* had = dartu_buffer_get(kDartuBufContent, 100, 0x800000, 1);
    ASSERT_EQ(had->capacity, 128u);
    ASSERT_EQ(dartu_buffer_grow(had, 5000), 0);
    EXPECT_EQ(had->capacity, 16384u);
    ASSERT_EQ(dartu_buffer_grow(had, 600000), 0);
    EXPECT_EQ(had->capacity, 1048576u);  // twice would reach 1 MiB: the target itself

    // Appends stop at the hard maximum; only the first refusal is reported.
    dartu_buffer* small = dartu_buffer_get(kDartuBufContent, 16, 4096, 0);
    std::vector<char> chunk(1000, 'x');
    for (int i = 0; i < 4; ++i) ASSERT_EQ(dartu_buffer_put_data(small, chunk.data(), chunk.size()), 0);
    EXPECT_EQ(dartu_buffer_put_data(small, chunk.data(), chunk.size()), 1);
    EXPECT_EQ(dartu_buffer_put_data(small, chunk.data(), 200), 1);
    EXPECT_EQ(small->length, 4000u);  // nothing of a refused append
    EXPECT_EQ(small->capacity, 4096u);
    EXPECT_EQ(small->overflow, 1u);
    EXPECT_EQ(dartu_buffer_put_data(small, chunk.data(), 96), 0);  // what fits still goes in
    EXPECT_EQ(Logged(), (std::vector<std::string>{kOverflowOf4096}));

    // The overflow shows through a chain.
    dartu_buffer* header = dartu_buffer_get(kDartuBufHeaderChained, 64, 1024, 0);
    EXPECT_EQ(dartu_buffer_is_overflowed(header), 0);
    ASSERT_EQ(dartu_buffer_put_chained_content(header, small), 0);
    EXPECT_EQ(dartu_buffer_is_overflowed(header), -1);

    dartu_buffer_return(fresh);
    dartu_buffer_return(had);
    dartu_buffer_return(header);
}

TEST_F(Buffer, InitialSizeAboveTheMaximumIsRefused) {
    EXPECT_EQ(dartu_buffer_get(kDartuBufContent, 5000, 4096, 0), nullptr);
    EXPECT_EQ(Logged(), (std::vector<std::string>{kOverflowOf4096}));

    dartu_buffer* b = nullptr;
    EXPECT_EQ(dartu_buffer_create_grow(&b, kDartuBufContent, 5000, 4096), 2);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(dartu_buffer_create_grow(&b, kDartuBufContent, 3000, 4096), 0);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(b->capacity, 3000u);
    b->length = 3000;
    EXPECT_EQ(dartu_buffer_create_grow(&b, kDartuBufContent, 2000, 4096), 2);
    EXPECT_EQ(dartu_buffer_call_overflow_error(b, 1096), 0);
    EXPECT_EQ(dartu_buffer_call_overflow_error(b, 1097), 1);
    EXPECT_EQ(CountLogged(kOverflowOf4096), 3);
    EXPECT_EQ(CountLogged("Buffer overflow - max size 4096, wants 4097"), 1);
    dartu_buffer_return(b);
}

TEST_F(Buffer, ReturnKeepsSmallStorageAndReturnsTheChain) {
    dartu_buffer* big = dartu_buffer_get(kDartuBufContent, 65536, 0x800000, 0);
    dartu_buffer* small = dartu_buffer_get(kDartuBufContent, 4096, 0x800000, 0);
    ASSERT_EQ(big->capacity, 65536u);
    dartu_buffer_return(big);
    dartu_buffer_return(small);
    EXPECT_EQ(big->storage, nullptr);
    EXPECT_EQ(big->capacity, 0u);
    EXPECT_NE(small->storage, nullptr);
    EXPECT_EQ(small->capacity, 4096u);

    dartu_buffer* header = dartu_buffer_get(kDartuBufHeader, 64, 1024, 0);
    dartu_buffer* content = dartu_buffer_get(kDartuBufContent, 64, 1024, 0);
    EXPECT_EQ(dartu_buffer_put_chained_content(header, content), -1);  // kind 6 takes no chain
    header->kind = kDartuBufHeaderChained;
    header->retain = 1;
    ASSERT_EQ(dartu_buffer_put_data(header, "HTTP/1.1 200 OK\r\n\r\n", 19), 0);
    ASSERT_EQ(dartu_buffer_put_chained_content(header, content), 0);
    EXPECT_EQ(header->header_length, 19u);
    EXPECT_EQ(content->retain, 1u);

    dartu_buffer_return(header);
    EXPECT_EQ(content->marker, kDartuBufferReturned);
    dartu_buffer_return(content);
    dartu_buffer_return(header);
    EXPECT_EQ(CountLogged("DEBUG: Tried to free already freed buffer"), 2);

    // Header and content reused the first two records; each is on the pool once.
    std::set<dartu_buffer*> seen;
    for (dartu_buffer* p = dartu_global_context()->buffer_pool; p; p = p->pool_next) EXPECT_TRUE(seen.insert(p).second);
    EXPECT_EQ(seen, (std::set<dartu_buffer*>{big, small}));
}

TEST_F(Buffer, ReadingAChainWithAnAttachedFile) {
    TempRoot root;
    std::string path = root.Path("/mnt/USB0/page.htm");
    std::string file(40000, '\0');
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(File_WriteAtomic(path, file.data(), file.size()));

    dartu_buffer* b = dartu_buffer_get(kDartuBufHeaderFile, 256, 1024, 0);
    ASSERT_EQ(dartu_buffer_put_data(b, "HEAD", 4), 0);
    EXPECT_EQ(dartu_buffer_put_file(b, (path + ".missing").c_str()), -1);
    ASSERT_EQ(dartu_buffer_put_file(b, path.c_str()), 0);
    EXPECT_EQ(dartu_buffer_available_data(b), 40004u);

    const char* out = nullptr;
    EXPECT_EQ(dartu_buffer_get_data(b, &out, nullptr, 0, nullptr, 0), -1);  // a file needs a scratch area
    std::vector<char> scratch(16384);
    std::string got;
    std::vector<int> pieces;
    int n;
    while ((n = dartu_buffer_get_data(b, &out, scratch.data(), scratch.size(), nullptr, 0)) > 0) {
        pieces.push_back(n);
        got.append(out, static_cast<size_t>(n));
        dartu_buffer_get_advance(b, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(pieces, (std::vector<int>{4, 16384, 16384, 7232}));
    EXPECT_EQ(got, "HEAD" + file);
    EXPECT_EQ(dartu_buffer_available_data(b), 0u);

    EXPECT_EQ(dartu_buffer_discard_file_content(b), 0);
    b->kind = kDartuBufHeader;
    EXPECT_EQ(dartu_buffer_discard_file_content(b), -1);
    EXPECT_EQ(dartu_buffer_put_file(b, path.c_str()), -1);  // only kind 5 takes a file
    dartu_buffer_return(b);
}

TEST_F(Buffer, DelimitedReadsWalkThroughChainedContent) {
    dartu_buffer* req = dartu_buffer_get(kDartuBufRequestChained, 64, 1024, 0);
    dartu_buffer* body = dartu_buffer_get(kDartuBufContent, 64, 1024, 0);
    const char head[] = "POST /darTU/?x\r\nHost: a\r\n\r\n";
    ASSERT_EQ(dartu_buffer_put_data(req, head, sizeof head - 1), 0);
    ASSERT_EQ(dartu_buffer_put_data(body, "a=1", 3), 0);
    ASSERT_EQ(dartu_buffer_put_chained_content(req, body), 0);
    EXPECT_EQ(dartu_buffer_available_data(req), sizeof head - 1 + 3);

    const char* out = nullptr;
    EXPECT_EQ(dartu_buffer_get_data(req, &out, nullptr, 0, "\r\n", 2), 16);
    EXPECT_EQ(std::string(out, 16), "POST /darTU/?x\r\n");
    dartu_buffer_get_advance(req, 16);
    EXPECT_EQ(dartu_buffer_get_data(req, &out, nullptr, 0, "\r\n\r\n", 4), 11);
    dartu_buffer_get_advance(req, 11);
    EXPECT_EQ(dartu_buffer_get_data(req, &out, nullptr, 0, "\r\n", 2), 3);  // no delimiter: all of it
    EXPECT_EQ(std::string(out, 3), "a=1");
    dartu_buffer_get_advance(req, 3);
    EXPECT_EQ(dartu_buffer_get_data(req, &out, nullptr, 0, nullptr, 0), 0);
    dartu_buffer_return(req);
}

struct Field {
    std::string key;
    std::string value;
};

std::vector<Field> Dictionary(const dartu_buffer* b) {
    std::vector<Field> fields;
    const char* key;
    const char* value;
    u32 length;
    for (u32 i = 0; dartu_buffer_get_dict_entry(b, i, &key, &value, &length) == 0; ++i) {
        fields.push_back({key, std::string(value, length)});
        EXPECT_EQ(value[length], '\0');
    }
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(length, 0u);
    return fields;
}

bool operator==(const Field& a, const Field& b) { return a.key == b.key && a.value == b.value; }

TEST_F(Buffer, FieldDictionary) {
    struct Case {
        const char* body;
        std::vector<Field> fields;
    } cases[] = {
        {"a=1&b=&c=x+y%21", {{"a", "1"}, {"b", ""}, {"c", "x y!"}}},
        {"", {}},
        {"flag&b=1", {{"flag&b", "1"}}},  // a field without '=' joins the next key
        {"a=1&last", {{"a", "1"}}},       // a last field without '=' is dropped
        {"address[]=A&address[]=B&address[]x=C", {{"address[]", "A"}, {"address[]", "B"}, {"address[]x", "C"}}},
        {"%zz=%41&k%3D=v%26w", {{"%zz", "A"}, {"k=", "v&w"}}},
        {"=v&a==b&e=", {{"", "v"}, {"a", "=b"}, {"e", ""}}},
        {"n=x%00y", {{"n", std::string("x\0y", 3)}}},
        {"a=1&&b=2", {{"a", "1"}, {"&b", "2"}}},
    };
    for (const Case& c : cases) {
        dartu_buffer* b = dartu_buffer_get(kDartuBufRequest, 64, 0x20000, 0);
        const char head[] = "POST /darTU/?read HTTP/1.1\r\n\r\n";
        ASSERT_EQ(dartu_buffer_put_data(b, head, sizeof head - 1), 0);
        b->read_pos = sizeof head - 1;
        ASSERT_EQ(dartu_buffer_put_data(b, c.body, std::strlen(c.body)), 0);
        ASSERT_EQ(dartu_buffer_build_dict(b), 0) << c.body;
        EXPECT_EQ(b->kind, kDartuBufRequestDict);
        EXPECT_EQ(Dictionary(b), c.fields) << c.body;
        dartu_buffer_return(b);
    }
    EXPECT_TRUE(Logged().empty());
}

TEST_F(Buffer, DictionaryThatWouldPassTheRequestMaximumIsRefused) {
    // 100 empty fields of 3 bytes each need 100 entries of 12 bytes.
    std::string body;
    for (int i = 0; i < 100; ++i) body += "k=&";
    const u32 head = 10;
    const u32 needed = head + static_cast<u32>(body.size()) + 1 + 101 * 12;
    for (u32 maximum : {needed - 1, needed}) {
        dartu_buffer* b = dartu_buffer_get(kDartuBufRequest, 0, maximum, 0);
        ASSERT_EQ(dartu_buffer_put_data(b, "POST / \r\n\n", head), 0);
        b->read_pos = head;
        ASSERT_EQ(dartu_buffer_put_data(b, body.data(), body.size()), 0);
        if (maximum < needed) {
            EXPECT_EQ(dartu_buffer_build_dict(b), -1);
            EXPECT_EQ(b->overflow, 1u);
            EXPECT_TRUE(Dictionary(b).empty());  // refused whole, never cut short
        } else {
            EXPECT_EQ(dartu_buffer_build_dict(b), 0);
            EXPECT_EQ(Dictionary(b).size(), 100u);
            EXPECT_EQ(b->length, needed);
        }
        dartu_buffer_return(b);
    }
    EXPECT_EQ(Logged().size(), 1u);
}

TEST_F(Buffer, PoolStaysConsistentUnderManyThreads) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 4000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            u32 seed = 12345u + static_cast<u32>(t);
            for (int r = 0; r < kRounds; ++r) {
                seed = seed * 1103515245u + 12345u;
                int held = 1 + static_cast<int>(seed >> 28) % 3;
                dartu_buffer* bufs[3];
                for (int h = 0; h < held; ++h) {
                    u32 size = 1 + (seed >> (8 + 4 * h)) % 9000;
                    bufs[h] = dartu_buffer_get(kDartuBufContent, 64, 0x800000, (seed >> 20) & 1);
                    if (!bufs[h] || bufs[h]->length != 0) {
                        failures++;
                        return;
                    }
                    // Fill with a pattern private to this thread and check it.
                    std::vector<char> data(size, static_cast<char>('A' + t));
                    if (dartu_buffer_put_data(bufs[h], data.data(), size) != 0) failures++;
                }
                for (int h = 0; h < held; ++h) {
                    for (u32 i = 0; i < bufs[h]->length; ++i) {
                        if (bufs[h]->storage[i] != static_cast<char>('A' + t)) {
                            failures++;
                            break;
                        }
                    }
                    dartu_buffer_return(bufs[h]);
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<dartu_buffer*> seen;
    for (dartu_buffer* p = dartu_global_context()->buffer_pool; p; p = p->pool_next) {
        EXPECT_TRUE(seen.insert(p).second);
        EXPECT_EQ(p->marker, kDartuBufferReturned);
        EXPECT_LE(p->capacity, kDartuPooledStorageMax);
    }
    EXPECT_EQ(seen.size(), dartu_global_context()->buffer_pool_count);
    EXPECT_LE(seen.size(), static_cast<size_t>(kDartuPoolLimit));
    EXPECT_TRUE(Logged().empty());
}

TEST_F(Buffer, UnpooledAnswersDoNotGrowThePoolForever) {
    // Each Ping answer is an unpooled record that joins the pool on return.
    for (int i = 0; i < 3 * static_cast<int>(kDartuPoolLimit); ++i) {
        dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 512, 0x800000, 1);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(dartu_buffer_put_data(b, "{\"Result\":\"OK\"}", 15), 0);
        dartu_buffer_return(b);
    }
    EXPECT_EQ(dartu_global_context()->buffer_pool_count, kDartuPoolLimit);
}

}  // namespace
