// What the fuzz targets share: a check that aborts (so libFuzzer records the input) and a walk
// over a container tree that needs no recursion.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vendor/solClient.h"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

/// Reads every field of the container and of every container nested in it, depth first, calling
/// visit(field, name, depth) for each. An explicit stack: hostile input nests without bound.
/// Returns the number of fields read; aborts when a reading fails midway.
template <typename Visit>
size_t walk(solClient_opaqueContainer_pt root, bool rootIsMap, Visit&& visit) {
    struct Frame {
        solClient_opaqueContainer_pt c;
        bool isMap;
    };
    std::vector<Frame> stack{{root, rootIsMap}};
    size_t fields = 0;
    FUZZ_CHECK(solClient_container_rewind(root) == SOLCLIENT_OK);
    while (!stack.empty()) {
        const Frame top = stack.back();
        solClient_field f{};
        const char* name = nullptr;
        const solClient_returnCode_t rc =
            solClient_container_getNextField(top.c, &f, sizeof f, &name);
        if (rc == SOLCLIENT_EOS) {
            stack.pop_back();
            continue;
        }
        FUZZ_CHECK(rc == SOLCLIENT_OK);
        FUZZ_CHECK(top.isMap ? name != nullptr : name == nullptr);
        ++fields;
        visit(f, name, stack.size() - 1);
        if (f.type == SOLCLIENT_MAP || f.type == SOLCLIENT_STREAM) {
            FUZZ_CHECK(f.value.map != nullptr);
            stack.push_back({f.value.map, f.type == SOLCLIENT_MAP});
        }
    }
    return fields;
}

}  // namespace fuzz
