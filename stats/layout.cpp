#include "stats/layout.h"

#include <cstring>

namespace stats {

HeaderKind classify_header(const Header& header) {
    if (std::memcmp(header.magic, magic_bytes, sizeof magic_bytes) != 0)
        return HeaderKind::not_statistics;
    if (std::memcmp(header.version, version_2_bytes, sizeof version_2_bytes) == 0)
        return HeaderKind::version_2;
    return HeaderKind::version_1;
}

void upgrade_header(Header& header) {
    std::memcpy(header.version, version_2_bytes, sizeof version_2_bytes);
}

void store_file_length(Header& header, std::uint32_t length) {
    for (int i = 0; i < 4; i++)
        header.file_length[i] = static_cast<unsigned char>(length >> (8 * i));
}

std::uint32_t load_file_length(const Header& header) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; i++)
        length |= static_cast<std::uint32_t>(header.file_length[i]) << (8 * i);
    return length;
}

void upgrade_record(const RecordV1& in, RecordV2& out) {
    std::memcpy(out.lead_word, in.lead_word, sizeof out.lead_word);
    std::memset(out.added_a, 0, sizeof out.added_a);
    std::memset(out.added_b, 0, sizeof out.added_b);
    std::memcpy(out.block_1, in.block_1, sizeof out.block_1);
    std::memcpy(out.block_2, in.block_2, sizeof out.block_2);
}

long long whole_records(long long size) {
    return size < header_size ? 0 : (size - header_size) / v1_record_size;
}

long long version_2_length(long long records) {
    return header_size + v2_record_size * records;
}

long long version_2_records(long long size) {
    return (size - header_size) / v2_record_size;
}

bool whole_version_2_size(long long size) {
    return size >= header_size && (size - header_size) % v2_record_size == 0;
}

bool whole_version_2(const Header& header, long long size) {
    return whole_version_2_size(size) && load_file_length(header) == size;
}

} // namespace stats
