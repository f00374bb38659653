// The name opened on the device and the published link name, as any 16-bit text: the pipe number
// is the last run of digits after position 0 (wrapping in 32 bits), and a published name is
// built only when it fits its buffer whole.
#include "core/names.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

using namespace norvask::core;

namespace {

// The same rule, written the plain way, to compare with.
PipeName Reference(const std::vector<char16_t>& name) {
    if (name.empty()) {
        return {PipeNameKind::NoName, 0};
    }
    std::size_t end = name.size();
    while (end > 1 && !(name[end - 1] >= u'0' && name[end - 1] <= u'9')) {
        --end;
    }
    if (end <= 1) {
        return {PipeNameKind::Invalid, 0};
    }
    std::size_t begin = end;
    while (begin > 1 && name[begin - 1] >= u'0' && name[begin - 1] <= u'9') {
        --begin;
    }
    u32 number = 0;
    for (std::size_t i = begin; i < end; ++i) {
        number = number * 10 + static_cast<u32>(name[i] - u'0');
    }
    return {PipeNameKind::Pipe, number};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const u32 capacity = data[0] == 0 ? kPublishedNameCapacity : data[0];
    std::vector<char16_t> text((size - 1) / 2);
    if (!text.empty()) {
        std::memcpy(text.data(), data + 1, text.size() * 2);
    }
    const u32 length = static_cast<u32>(text.size());

    const PipeName parsed = ParsePipeName(text.empty() ? nullptr : text.data(), length);
    const PipeName expected = Reference(text);
    FUZZ_CHECK(parsed.kind == expected.kind);
    FUZZ_CHECK(parsed.kind != PipeNameKind::Pipe || parsed.pipe == expected.pipe);

    // Canaries on both sides of the output show any write outside it.
    std::vector<char16_t> out(capacity + 2, u'\xABCD');
    const PublishedName published =
        BuildPublishedName(text.empty() ? nullptr : text.data(), length, out.data() + 1, capacity);
    FUZZ_CHECK(out.front() == u'\xABCD' && out.back() == u'\xABCD');
    if (published.publish && !published.linkUnchanged) {
        FUZZ_CHECK(published.length < capacity);
        FUZZ_CHECK(out[1] == u'\\' && out[2] == u'\\' && out[3] == u'.');
        FUZZ_CHECK(out[1 + published.length] == 0);
    }
    if (published.linkUnchanged) {
        FUZZ_CHECK(published.length == length);
    }
    return 0;
}
