// DNS answers to a fixed query: every record must be checked against the
// bytes received. The input is taken as it is, and also behind the query's
// own header and question, so the record walk is reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "remote/dnsClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u8 query[kDnsMessageBytes];
    u32 queryLength = Dns_BuildQuery(query, sizeof query, 0x0201, "broker.example");
    if (queryLength == 0) std::abort();
    u8 address[4];
    std::vector<u8> raw(data, data + size);
    Dns_ParseAnswer(raw.data(), static_cast<u32>(raw.size()), query, queryLength, address);
    std::vector<u8> answer(query, query + queryLength);
    answer[2] |= 0x80;
    answer[6] = size > 0 ? data[0] : 1;
    answer[7] = size > 1 ? data[1] : 1;
    answer.insert(answer.end(), data + (size > 2 ? 2 : size), data + size);
    Dns_ParseAnswer(answer.data(), static_cast<u32>(answer.size()), query, queryLength, address);
    return 0;
}
