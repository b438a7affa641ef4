// Native paths under the Python layer: the library's container walk and validation, the map reading
// into key order, and the message's body operations. Printed figures only; no goal is checked here.
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/tolvex.h"
#include "map2dict.h"
#include "vendor/solClient.h"

namespace {

/// A map of `fields` scalar fields (ints, doubles, strings, booleans in turn), keys k00000, ...,
/// in memory of its own.
class FlatMap {
public:
    explicit FlatMap(int fields) : mem_(static_cast<size_t>(fields) * 40 + 64) {
        solClient_container_createMap(&handle_, mem_.data(), mem_.size());
        char key[16];
        for (int i = 0; i < fields; ++i) {
            std::snprintf(key, sizeof key, "k%05d", i);
            switch (i % 4) {
                case 0: solClient_container_addInt64(handle_, i, key); break;
                case 1: solClient_container_addDouble(handle_, i * 1.25, key); break;
                case 2: solClient_container_addString(handle_, "item-name", key); break;
                default: solClient_container_addBoolean(handle_, i % 2, key); break;
            }
        }
    }
    ~FlatMap() { solClient_container_closeMapStream(&handle_); }
    FlatMap(const FlatMap&) = delete;
    FlatMap& operator=(const FlatMap&) = delete;
    solClient_opaqueContainer_pt get() const { return handle_; }

private:
    std::vector<char> mem_;
    solClient_opaqueContainer_pt handle_ = nullptr;
};

nlohmann::json records(size_t jsonBytes) {
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; list.dump().size() < jsonBytes; ++i) {
        list.push_back({{"id", i},
                        {"name", "item-" + std::to_string(i)},
                        {"price", i * 1.25 + 0.5},
                        {"active", i % 2 == 0},
                        {"tags", {"a", "bb"}},
                        {"dims", {{"w", i % 17}, {"h", 2.5}, {"unit", "cm"}}}});
    }
    return {{"seq", 1}, {"records", list}};
}

void BM_GetNextFieldWalk(benchmark::State& state) {
    const FlatMap map(static_cast<int>(state.range(0)));
    solClient_field field{};
    const char* name = nullptr;
    for (auto _ : state) {
        solClient_container_rewind(map.get());
        while (solClient_container_getNextField(map.get(), &field, sizeof field, &name) ==
               SOLCLIENT_OK)
            benchmark::DoNotOptimize(name);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GetNextFieldWalk)->Arg(10000);

void BM_Sol2Map(benchmark::State& state) {
    const FlatMap map(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        FieldMap fields;
        benchmark::DoNotOptimize(sol2map(fields, map.get()));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sol2Map)->Arg(100)->Arg(10000);

void BM_AttachmentMap(benchmark::State& state) {
    const FlatMap map(static_cast<int>(state.range(0)));
    Tolvex msg;
    solClient_msg_setBinaryAttachmentContainer(msg.ptr(), map.get());
    for (auto _ : state) benchmark::DoNotOptimize(msg.getBinaryAttachmentMap());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AttachmentMap)->Arg(10000);

void BM_SetGetBody(benchmark::State& state) {
    const std::string body(static_cast<size_t>(state.range(0)), 'x');
    Tolvex msg;
    for (auto _ : state) {
        msg.setBinaryAttachment(body);
        benchmark::DoNotOptimize(msg.getBinaryAttachment().data);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SetGetBody)->Arg(10000)->Arg(1000000);

void BM_GetContentType(benchmark::State& state) {
    Tolvex msg;
    msg.setContentType("json");
    for (auto _ : state) benchmark::DoNotOptimize(msg.getContentType());
}
BENCHMARK(BM_GetContentType);

void BM_GetJsonBody(benchmark::State& state) {
    Tolvex msg;
    msg.setJsonBody(records(static_cast<size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(msg.getJsonBody());
    state.SetBytesProcessed(state.iterations() *
                            static_cast<int64_t>(msg.getBinaryAttachment().length));
}
BENCHMARK(BM_GetJsonBody)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
