// The statistics file layout, versions 1 and 2.
//
// A statistics file is a 32-byte header followed directly by fixed-size
// records: 260 bytes each in version 1, 264 bytes in version 2. All
// multi-byte integers are little-endian; there are no gaps or alignment
// bytes. Every field is held as raw bytes, so the structures below have the
// exact on-disk size on any compiler and byte order, and are read and
// written as whole items.
//
// The converter looks only at `magic` and `version` and writes only
// `version` and `file_length`; every other byte passes through unchanged or
// moves to its version 2 position.
#pragma once

#include <cstdint>

namespace stats {

struct Header {
    unsigned char magic[4];        // "StAt"
    unsigned char version[4];      // "Ver2" in version 2; anything else is version 1
    unsigned char file_length[4];  // version 2: the whole file's length in bytes
    unsigned char header_tail[20]; // carried over byte for byte
};

struct RecordV1 {
    unsigned char lead_word[4];
    unsigned char block_1[128];
    unsigned char block_2[128];
};

struct RecordV2 {
    unsigned char lead_word[4];
    unsigned char added_a[2]; // new in version 2, written as 0
    unsigned char added_b[2]; // new in version 2, written as 0
    unsigned char block_1[128];
    unsigned char block_2[128];
};

inline constexpr long long header_size = 32;
inline constexpr long long v1_record_size = 260;
inline constexpr long long v2_record_size = 264;

static_assert(sizeof(Header) == header_size);
static_assert(sizeof(RecordV1) == v1_record_size);
static_assert(sizeof(RecordV2) == v2_record_size);

inline constexpr unsigned char magic_bytes[4] = {'S', 't', 'A', 't'};
inline constexpr unsigned char version_2_bytes[4] = {'V', 'e', 'r', '2'};

// `file_length` is a 32-bit field and the format makes no provision for
// files of 2 GiB or more, so a version 2 file holds at most this many records.
inline constexpr long long max_file_length = INT32_MAX;
inline constexpr long long max_records = (max_file_length - header_size) / v2_record_size;

enum class HeaderKind { not_statistics, version_2, version_1 };

// `magic` is tested first: a foreign file is foreign whatever its `version`.
HeaderKind classify_header(const Header& header);

// Marks the header as version 2. `file_length` keeps its old bytes until the
// converter knows the final length (store_file_length).
void upgrade_header(Header& header);

void store_file_length(Header& header, std::uint32_t length);
std::uint32_t load_file_length(const Header& header);

// Copies `lead_word`, `block_1` and `block_2`; `added_a` and `added_b` are 0.
void upgrade_record(const RecordV1& in, RecordV2& out);

// Whole version 1 records in a file of `size` bytes; trailing bytes of an
// incomplete last record do not count. Gives 0 for a file shorter than a header.
long long whole_records(long long size);

// The length of the version 2 file that `records` records convert into.
long long version_2_length(long long records);

// Whole version 2 records in a file of `size` bytes.
long long version_2_records(long long size);

// Whether `size` is that of a version 2 file of whole records: 32 + 264 x n.
bool whole_version_2_size(long long size);

// A version 2 file is whole when it is of such a size and its `file_length`
// says so.
bool whole_version_2(const Header& header, long long size);

} // namespace stats
