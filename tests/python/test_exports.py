"""Native callers find the system's classes and functions in the module's dynamic symbol table."""

import pathlib
import shutil
import subprocess

import pytest

import tolvex

EXPORTED = [
    "Destination::Destination(", "Destination::to_solClient_destination_t() const",
    "Tolvex::Tolvex()", "Tolvex::Tolvex(void*)", "Tolvex::~Tolvex()", "Tolvex::dump() const",
    "Tolvex::setCorrlationId(", "Tolvex::getCorrlationId() const", "Tolvex::getJsonBody() const",
    "Tolvex::setMsgpackBody(", "Tolvex::getBinaryAttachmentMap()", "Tolvex::addContainerString(",
    "setMetaContentType(void*, char const*)", "getMetaContentType(void*, char const**)",
    "PyTolvex::to_dict()", "PyTolvex::from_dict(", "PyTolvex::getJsonBody()", "PyTolvex::setMsgpackBody(",
    "get_json_loadsf()", "get_json_dumpsf()", "get_msgpack_loadsf()", "get_msgpack_dumpsf()",
    "sol2map(", "map2dict(", "field2dict(", "stream2dict(", "field2list(", "stream2list(",
    "startsWith(", "dict2container(", "value2container(", "list2container(", "subdict2container(",
    "getBytesString(",
]


@pytest.fixture(scope="module")
def symbols():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    out = subprocess.run([nm, "-D", "--defined-only", "-C", tolvex.__file__],
                         capture_output=True, text=True, check=True).stdout
    return [line.split(" ", 2)[-1].replace("[abi:cxx11]", "") for line in out.splitlines()
            if " T " in line or " W " in line]


@pytest.mark.parametrize("name", EXPORTED)
def test_native_interface_is_exported(symbols, name):
    assert any(s.startswith(name) or f" {name}" in s for s in symbols), name


def test_binding_internals_stay_hidden(symbols):
    leaked = [s for s in symbols if s.startswith("pybind11::")]
    assert leaked == []
    assert "PyInit_tolvex" in symbols


def test_library_is_a_separate_shared_object():
    assert list(pathlib.Path(tolvex.__file__).parent.glob("libsolclient*"))
