// Arbitrary bytes as JSON and MessagePack bodies through the native readers. A parse error is an
// expected nlohmann::json::exception; anything else escaping is a fault. What parses must
// re-serialise and parse back to an equal value.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/tolvex.h"
#include "fuzz_common.h"

using nlohmann::json;

namespace {

// Serialisers and comparisons of nlohmann recurse; the harness only runs them on values this
// deep or shallower, so that its own stack stays safe.
constexpr size_t kRoundTripDepth = 256;

size_t depthOf(const json& root) {
    std::vector<std::pair<const json*, size_t>> todo{{&root, 1}};
    size_t deepest = 0;
    while (!todo.empty()) {
        auto [j, d] = todo.back();
        todo.pop_back();
        if (d > deepest) deepest = d;
        if (deepest > kRoundTripDepth) return deepest;
        if (j->is_structured())
            for (const json& child : *j) todo.push_back({&child, d + 1});
    }
    return deepest;
}

// Byte arrays and non-finite numbers have no JSON form (they dump as an object and as null).
bool lacksJsonForm(const json& root) {
    std::vector<const json*> todo{&root};
    while (!todo.empty()) {
        const json* j = todo.back();
        todo.pop_back();
        if (j->is_binary()) return true;
        if (j->is_number_float() && !std::isfinite(j->get<double>())) return true;
        if (j->is_structured())
            for (const json& child : *j) todo.push_back(&child);
    }
    return false;
}

// Equality in which NaN equals NaN: MessagePack carries NaN, and a NaN read back is the same value.
bool same(const json& a, const json& b) {
    if (a.is_number_float() && b.is_number_float()) {
        const double x = a.get<double>(), y = b.get<double>();
        return (std::isnan(x) && std::isnan(y)) || x == y;
    }
    if (a.is_array() && b.is_array()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!same(a[i], b[i])) return false;
        return true;
    }
    if (a.is_object() && b.is_object()) {
        if (a.size() != b.size()) return false;
        for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
            if (ia.key() != ib.key() || !same(ia.value(), ib.value())) return false;
        return true;
    }
    return a == b;
}

// One reading through the message: the parsed value, or false for an expected parse error.
template <typename Read>
bool readBody(Read&& read, json& out) {
    try {
        out = read();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

void jsonBody(const uint8_t* data, size_t size) {
    Tolvex msg;
    FUZZ_CHECK(msg.setContentType("json") == SOLCLIENT_OK);
    FUZZ_CHECK(msg.setBinaryAttachment(data, size) == SOLCLIENT_OK);
    json parsed;
    if (!readBody([&] { return msg.getJsonBody(); }, parsed)) return;
    FUZZ_CHECK(!parsed.is_discarded());
    if (depthOf(parsed) > kRoundTripDepth) return;
    // Text parsed from JSON holds valid UTF-8 and finite numbers, so it always serialises.
    const std::string text = parsed.dump();
    FUZZ_CHECK(same(json::parse(text), parsed));
    Tolvex again;
    FUZZ_CHECK(again.setJsonBody(parsed) == SOLCLIENT_OK);
    FUZZ_CHECK(again.getContentType() == "json");
    FUZZ_CHECK(same(again.getJsonBody(), parsed));
}

void msgpackBody(const uint8_t* data, size_t size) {
    Tolvex msg;
    FUZZ_CHECK(msg.setContentType("msgpack") == SOLCLIENT_OK);
    FUZZ_CHECK(msg.setBinaryAttachment(data, size) == SOLCLIENT_OK);
    json decoded;
    if (!readBody([&] { return msg.getMsgpackBody(); }, decoded)) return;
    if (depthOf(decoded) > kRoundTripDepth) return;
    Tolvex again;
    FUZZ_CHECK(again.setMsgpackBody(decoded) == SOLCLIENT_OK);
    FUZZ_CHECK(again.getContentType() == "msgpack");
    FUZZ_CHECK(same(again.getMsgpackBody(), decoded));
    // As JSON too, when the value has a JSON form and its text is valid UTF-8 (else the strict
    // dump refuses with an exception).
    if (lacksJsonForm(decoded)) return;
    std::string text;
    try {
        text = decoded.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::type_error&) {
        return;  // text that is no UTF-8
    }
    FUZZ_CHECK(same(json::parse(text), decoded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    jsonBody(data, size);
    msgpackBody(data, size);
    return 0;
}
