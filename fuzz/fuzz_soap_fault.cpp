// Fuzzes the fault parser. The record must come out the same however the document is cut.
#include <cstdlib>

#include "fuzz_input.h"
#include "soap/buffer_stream.h"
#include "soap/result_json.h"
#include "soap/soap_fault.h"

namespace {
std::string parse(const FuzzInput& in, bool cut, HRESULT* hr) {
    auto s = bf::make_com<bf::soap::CBufferStream>(in.document);
    if (cut) s->setChunks(in.chunks);
    bf::soap::FaultRecord record;
    *hr = record.ParseFault(s.get());
    return bf::soap::faultJson(S_OK, record);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in;
    if (!in.read(data, size)) return 0;
    HRESULT whole = S_OK, cut = S_OK;
    std::string a = parse(in, false, &whole);
    std::string b = parse(in, true, &cut);
    if (SUCCEEDED(whole) != SUCCEEDED(cut) || (SUCCEEDED(whole) && a != b)) std::abort();
    return 0;
}
