// Conversions between the messaging library's structured containers and Python objects.
//
// Reading: a map becomes a dict whose keys arrive in ascending byte order, a stream a list; a
// string field whose key begins with "bytes" becomes bytes. Writing: a dict goes into a map, each
// sequence into a stream, each scalar into one field. Both directions are lenient: a value without
// a counterpart is reported on standard output and left out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "core/api.h"
#include "vendor/solClient.h"

/// A map container read into key order: keys compare byte-wise as unsigned characters, and a later
/// field of the same name replaces the earlier one. A flat array sorted by key, each key once.
/// Keys and field values point into the container's memory: they are valid while it lives.
using FieldMap = std::vector<std::pair<std::string_view, solClient_field>>;

/// Reads a map container into `fmap`; returns the number of entries afterwards. Makes no Python
/// object, so it may run without the interpreter lock.
TOLVEX_API int32_t sol2map(FieldMap& fmap, solClient_opaqueContainer_pt container);
/// Adds every entry of `fmap` to `dict`, in key order; `fmap` is left as it was (it serves as
/// scratch space for nested maps meanwhile). `name` is not used.
TOLVEX_API void map2dict(pybind11::dict& dict, const char* name, FieldMap& fmap);
/// Adds one field to `dict` under `key`.
TOLVEX_API void field2dict(pybind11::dict& dict, const char* key, solClient_field& field);
/// Adds the stream under `key` as a new list.
TOLVEX_API void stream2dict(pybind11::dict& dict, const char* key,
                            solClient_opaqueContainer_pt stream);
/// Appends one field to `list`; the elements of a nested stream are appended one by one.
TOLVEX_API void field2list(pybind11::list& list, solClient_field& field);
/// Appends every element of the stream to `list`.
TOLVEX_API void stream2list(pybind11::list& list, solClient_opaqueContainer_pt stream);
/// True when `prefix` is empty or `str` begins with it, byte for byte.
TOLVEX_API bool startsWith(std::string str, std::string prefix);

/// Writes the entries of `dict` into the caller's container.
TOLVEX_API void dict2container(solClient_opaqueContainer_pt container, pybind11::dict dict);
/// Writes a str, bool, int or float value as one field (`key` null inside a stream).
TOLVEX_API void value2container(solClient_opaqueContainer_pt container, const char* key,
                                pybind11::handle value);
/// Writes a sequence that is not a str as a nested stream.
TOLVEX_API void list2container(solClient_opaqueContainer_pt container, const char* key,
                               pybind11::handle value);
/// Writes a dict as a nested map.
TOLVEX_API void subdict2container(solClient_opaqueContainer_pt container, const char* key,
                                  pybind11::handle value);

/// The first entry of a dict whose key begins with "bytes".
struct TOLVEX_API BytesEntry {
    int64_t size = 0;   ///< the value's length plus 128; 0 when no key matched
    std::string key;    ///< the matching key's UTF-8 text
    std::string value;  ///< the matching value's bytes
};
TOLVEX_API BytesEntry getBytesString(pybind11::dict dict);
