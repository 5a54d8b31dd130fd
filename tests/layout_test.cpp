#include "stats/layout.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using stats::HeaderKind;

stats::Header make_header(const char (&first8)[9]) {
    stats::Header header;
    for (std::size_t i = 0; i < sizeof header; i++)
        reinterpret_cast<unsigned char*>(&header)[i] = static_cast<unsigned char>(0x40 + i);
    std::memcpy(&header, first8, 8);
    return header;
}

TEST(ClassifyHeader, MagicIsExactAndTestedFirst) {
    struct Case {
        const char bytes[9];
        HeaderKind kind;
    };
    const Case cases[] = {
        {"StAtVer2", HeaderKind::version_2},          {"StAtVer1", HeaderKind::version_1},
        {"StAtver2", HeaderKind::version_1},          {"StAtVER2", HeaderKind::version_1},
        {"StAt\0\0\0\0", HeaderKind::version_1},      {"STATVer2", HeaderKind::not_statistics},
        {"statVer2", HeaderKind::not_statistics},     {"StATVer1", HeaderKind::not_statistics},
        {"\0\0\0\0Ver2", HeaderKind::not_statistics}, {" StAVer2", HeaderKind::not_statistics},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stats::classify_header(make_header(c.bytes)), c.kind) << c.bytes;
}

TEST(UpgradeHeader, ChangesOnlyTheVersion) {
    stats::Header original = make_header("StAtVer1");
    stats::Header upgraded = original;
    stats::upgrade_header(upgraded);
    EXPECT_EQ(std::memcmp(upgraded.version, "Ver2", 4), 0);
    EXPECT_EQ(std::memcmp(upgraded.magic, original.magic, 4), 0);
    EXPECT_EQ(std::memcmp(upgraded.file_length, original.file_length, 4), 0);
    EXPECT_EQ(std::memcmp(upgraded.header_tail, original.header_tail, 20), 0);
    EXPECT_EQ(stats::classify_header(upgraded), HeaderKind::version_2);
}

TEST(FileLength, StoredLittleEndian) {
    struct Case {
        std::uint32_t value;
        std::array<unsigned char, 4> bytes;
    };
    const Case cases[] = {
        {32, {32, 0, 0, 0}},
        {824, {0x38, 0x03, 0, 0}},
        {0x7fffffff, {0xff, 0xff, 0xff, 0x7f}},
        {0x01020304, {4, 3, 2, 1}},
    };
    for (const Case& c : cases) {
        stats::Header header = make_header("StAtVer2");
        stats::store_file_length(header, c.value);
        EXPECT_EQ(std::memcmp(header.file_length, c.bytes.data(), 4), 0) << c.value;
        EXPECT_EQ(stats::load_file_length(header), c.value);
    }
}

TEST(UpgradeRecord, InsertsTwoZeroFieldsAfterTheLeadWord) {
    for (int fill : {0x00, 0xff, -1}) {
        unsigned char in[260];
        for (int i = 0; i < 260; i++)
            in[i] = static_cast<unsigned char>(fill >= 0 ? fill : i * 7 + 1);
        stats::RecordV1 v1;
        std::memcpy(&v1, in, sizeof v1);
        stats::RecordV2 v2;
        std::memset(&v2, 0x5a, sizeof v2); // every output byte must be written
        stats::upgrade_record(v1, v2);

        unsigned char out[264];
        std::memcpy(out, &v2, sizeof out);
        EXPECT_EQ(std::memcmp(out, in, 4), 0);
        for (int i = 4; i < 8; i++)
            EXPECT_EQ(out[i], 0) << "byte " << i;
        EXPECT_EQ(std::memcmp(out + 8, in + 4, 256), 0);
    }
}

TEST(Lengths, RecordsAndTheTwoGibibyteLimit) {
    struct Case {
        long long v1_size, records;
    };
    const Case cases[] = {{0, 0}, {31, 0}, {32, 0}, {291, 0}, {292, 1}, {32 + 260 * 5 + 100, 5}};
    for (const Case& c : cases)
        EXPECT_EQ(stats::whole_records(c.v1_size), c.records) << c.v1_size;

    EXPECT_EQ(stats::version_2_length(0), 32);
    EXPECT_EQ(stats::version_2_length(3), 824);
    EXPECT_EQ(stats::version_2_length(5), 1352);
    for (long long size : {32LL, 296LL, 824LL})
        EXPECT_TRUE(stats::whole_version_2_size(size)) << size;
    for (long long size : {0LL, 31LL, 33LL, 295LL, 825LL})
        EXPECT_FALSE(stats::whole_version_2_size(size)) << size;
    EXPECT_LE(stats::version_2_length(stats::max_records), 2147483647LL);
    EXPECT_GT(stats::version_2_length(stats::max_records + 1), 2147483647LL);
}

} // namespace
