#!/usr/bin/python3
"""Cross-checks the smart-card marshalling against impacket's NDR engine.

The structures are described here a second time, from the published
interface definition, and built into impacket types. Each golden vector of
the C++ tests is checked both ways:
  - the C++ bytes, decoded by impacket, give the C++ values;
  - the values, encoded by impacket (its own referent ids and padding bytes),
    decoded by the C++ codec, give the same values.
Usage: ndr_oracle_test.py <path of smartcard_ndr_oracle>
"""
import json
import subprocess
import sys

from impacket.dcerpc.v5.dtypes import LPSTR, LPWSTR, ULONG, USHORT
from impacket.dcerpc.v5.ndr import NDRPOINTER, NDRSTRUCT, NDRUniConformantArray, NDRUniFixedArray, NULL
from impacket.dcerpc.v5.rpcrt import TypeSerialization1

CTX = ("struct", "REDIR_SCARDCONTEXT")
HCARD = ("struct", "REDIR_SCARDHANDLE")

# name: [(field, kind)], kinds: u32, u16, ("fixed", n), blob (unique pointer
# to a conformant byte array), strA, strW, ("struct", name), ("list", name)
# (unique pointer to a conformant array), ("opt", name) (unique pointer).
SCHEMAS = {
    "REDIR_SCARDCONTEXT": [("cbContext", "u32"), ("pbContext", "blob")],
    "REDIR_SCARDHANDLE": [("Context", CTX), ("cbHandle", "u32"), ("pbHandle", "blob")],
    "Long_Return": [("ReturnCode", "u32")],
    "EstablishContext_Call": [("dwScope", "u32")],
    "EstablishContext_Return": [("ReturnCode", "u32"), ("Context", CTX)],
    "Context_Call": [("Context", CTX)],
    "ContextAndStringA_Call": [("Context", CTX), ("sz", "strA")],
    "ContextAndStringW_Call": [("Context", CTX), ("sz", "strW")],
    "ContextAndTwoStringA_Call": [("Context", CTX), ("sz1", "strA"), ("sz2", "strA")],
    "ContextAndTwoStringW_Call": [("Context", CTX), ("sz1", "strW"), ("sz2", "strW")],
    "ListReaderGroups_Call": [("Context", CTX), ("fmszGroupsIsNULL", "u32"), ("cchGroups", "u32")],
    "ListReaders_Call": [("Context", CTX), ("cBytes", "u32"), ("mszGroups", "blob"),
                         ("fmszReadersIsNULL", "u32"), ("cchReaders", "u32")],
    "ListReaders_Return": [("ReturnCode", "u32"), ("cBytes", "u32"), ("msz", "blob")],
    "ReaderState_Common_Call": [("dwCurrentState", "u32"), ("dwEventState", "u32"), ("cbAtr", "u32"),
                                ("rgbAtr", ("fixed", 36))],
    "ReaderStateA": [("szReader", "strA"), ("Common", ("struct", "ReaderState_Common_Call"))],
    "ReaderStateW": [("szReader", "strW"), ("Common", ("struct", "ReaderState_Common_Call"))],
    "GetStatusChangeA_Call": [("Context", CTX), ("dwTimeOut", "u32"), ("cReaders", "u32"),
                              ("rgReaderStates", ("list", "ReaderStateA"))],
    "GetStatusChangeW_Call": [("Context", CTX), ("dwTimeOut", "u32"), ("cReaders", "u32"),
                              ("rgReaderStates", ("list", "ReaderStateW"))],
    "ReaderState_Return": [("dwCurrentState", "u32"), ("dwEventState", "u32"), ("cbAtr", "u32"),
                           ("rgbAtr", ("fixed", 36))],
    "GetStatusChange_Return": [("ReturnCode", "u32"), ("cReaders", "u32"),
                               ("rgReaderStates", ("list", "ReaderState_Return"))],
    "LocateCards_ATRMask": [("cbAtr", "u32"), ("rgbAtr", ("fixed", 36)), ("rgbMask", ("fixed", 36))],
    "LocateCardsByATRA_Call": [("Context", CTX), ("cAtrs", "u32"), ("rgAtrMasks", ("list", "LocateCards_ATRMask")),
                               ("cReaders", "u32"), ("rgReaderStates", ("list", "ReaderStateA"))],
    "Connect_Common": [("Context", CTX), ("dwShareMode", "u32"), ("dwPreferredProtocols", "u32")],
    "ConnectA_Call": [("szReader", "strA"), ("Common", ("struct", "Connect_Common"))],
    "ConnectW_Call": [("szReader", "strW"), ("Common", ("struct", "Connect_Common"))],
    "Connect_Return": [("ReturnCode", "u32"), ("hCard", HCARD), ("dwActiveProtocol", "u32")],
    "Reconnect_Call": [("hCard", HCARD), ("dwShareMode", "u32"), ("dwPreferredProtocols", "u32"),
                       ("dwInitialization", "u32")],
    "Reconnect_Return": [("ReturnCode", "u32"), ("dwActiveProtocol", "u32")],
    "HCardAndDisposition_Call": [("hCard", HCARD), ("dwDisposition", "u32")],
    "Status_Return": [("ReturnCode", "u32"), ("cBytes", "u32"), ("mszReaderNames", "blob"), ("dwState", "u32"),
                      ("dwProtocol", "u32"), ("pbAtr", ("fixed", 32)), ("cbAtrLen", "u32")],
    "SCardIO_Request": [("dwProtocol", "u32"), ("cbExtraBytes", "u32"), ("pbExtraBytes", "blob")],
    "Transmit_Call": [("hCard", HCARD), ("ioSendPci", ("struct", "SCardIO_Request")), ("cbSendLength", "u32"),
                      ("pbSendBuffer", "blob"), ("pioRecvPci", ("opt", "SCardIO_Request")),
                      ("fpbRecvBufferIsNULL", "u32"), ("cbRecvLength", "u32")],
    "Transmit_Return": [("ReturnCode", "u32"), ("pioRecvPci", ("opt", "SCardIO_Request")),
                        ("cbRecvLength", "u32"), ("pbRecvBuffer", "blob")],
    "GetTransmitCount_Call": [("hCard", HCARD)],
    "Control_Call": [("hCard", HCARD), ("dwControlCode", "u32"), ("cbInBufferSize", "u32"),
                     ("pvInBuffer", "blob"), ("fpvOutBufferIsNULL", "u32"), ("cbOutBufferSize", "u32")],
    "Control_Return": [("ReturnCode", "u32"), ("cbOutBufferSize", "u32"), ("pvOutBuffer", "blob")],
    "GetAttrib_Call": [("hCard", HCARD), ("dwAttrId", "u32"), ("fpbAttrIsNULL", "u32"), ("cbAttrLen", "u32")],
    "GetAttrib_Return": [("ReturnCode", "u32"), ("cbAttrLen", "u32"), ("pbAttr", "blob")],
    "SetAttrib_Call": [("hCard", HCARD), ("dwAttrId", "u32"), ("cbAttrLen", "u32"), ("pbAttr", "blob")],
    "UUID": [("Data1", "u32"), ("Data2", "u16"), ("Data3", "u16"), ("Data4", ("fixed", 8))],
    "ReadCache_Common": [("Context", CTX), ("CardIdentifier", ("opt", "UUID")), ("FreshnessCounter", "u32"),
                         ("fPbDataIsNULL", "u32"), ("cbDataLen", "u32")],
    "ReadCacheW_Call": [("szLookupName", "strW"), ("Common", ("struct", "ReadCache_Common"))],
    "ReadCache_Return": [("ReturnCode", "u32"), ("cbDataLen", "u32"), ("pbData", "blob")],
    "WriteCache_Common": [("Context", CTX), ("CardIdentifier", ("opt", "UUID")), ("FreshnessCounter", "u32"),
                          ("cbDataLen", "u32"), ("pbData", "blob")],
    "WriteCacheA_Call": [("szLookupName", "strA"), ("Common", ("struct", "WriteCache_Common"))],
}


class BYTE_ARRAY(NDRUniConformantArray):
    item = "c"


class PBYTE(NDRPOINTER):
    referent = (("Data", BYTE_ARRAY),)


_classes = {}


def struct_class(name, top=False):
    key = (name, top)
    if key not in _classes:
        fields = tuple((f, impacket_type(k)) for f, k in SCHEMAS[name])
        _classes[key] = type(name, (TypeSerialization1 if top else NDRSTRUCT,), {"structure": fields})
    return _classes[key]


def impacket_type(kind):
    if kind == "u32":
        return ULONG
    if kind == "u16":
        return USHORT
    if kind == "blob":
        return PBYTE
    if kind == "strA":
        return LPSTR
    if kind == "strW":
        return LPWSTR
    what, arg = kind
    if what == "fixed":
        return type("FIXED%d" % arg, (NDRUniFixedArray,),
                    {"align": 1, "align64": 1, "getDataLen": lambda self, data, offset=0, n=arg: n})
    if what == "struct":
        return struct_class(arg)
    if what == "opt":
        return type("P" + arg, (NDRPOINTER,), {"referent": (("Data", struct_class(arg)),)})
    if what == "list":
        array = type(arg + "_ARRAY", (NDRUniConformantArray,), {"item": struct_class(arg)})
        return type("P" + arg + "_ARRAY", (NDRPOINTER,), {"referent": (("Data", array),)})
    raise ValueError(kind)


def fill(obj, name, values):
    for (field, kind), v in zip(SCHEMAS[name], values):
        if kind in ("u32", "u16"):
            obj[field] = v
        elif kind in ("blob", "strA", "strW") or kind[0] in ("opt", "list"):
            if v is None:
                obj[field] = NULL
            elif kind == "blob":
                obj[field] = list(bytes.fromhex(v))
            elif kind in ("strA", "strW"):
                obj[field] = v + "\x00"
            elif kind[0] == "opt":
                fill(obj.fields[field].fields["Data"], kind[1], v)
            else:
                for item in v:
                    element = struct_class(kind[1])()
                    fill(element, kind[1], item)
                    obj[field].append(element)
        elif kind[0] == "fixed":
            obj.fields[field]["Data"] = bytes.fromhex(v)
        else:
            fill(obj[field], kind[1], v)


def read(obj, name):
    out = []
    for field, kind in SCHEMAS[name]:
        if kind in ("u32", "u16"):
            out.append(obj[field])
        elif kind in ("blob", "strA", "strW") or kind[0] in ("opt", "list"):
            pointer = obj.fields[field]
            if pointer["ReferentID"] == 0:
                out.append(None)
            elif kind == "blob":
                out.append(b"".join(pointer["Data"]).hex())
            elif kind in ("strA", "strW"):
                text = pointer["Data"]
                assert text.endswith("\x00"), "string without terminator: %r" % text
                out.append(text[:-1])
            elif kind[0] == "opt":
                out.append(read(pointer.fields["Data"], kind[1]))
            else:
                out.append([read(item, kind[1]) for item in pointer["Data"]])
        elif kind[0] == "fixed":
            out.append(obj.fields[field]["Data"].hex())
        else:
            out.append(read(obj[field], kind[1]))
    return out


def schema_of(vector_name):
    name = vector_name.split(" ")[0]
    return {"ListReaderGroups_Return": "ListReaders_Return", "LocateCards_Return": "GetStatusChange_Return"}.get(
        name, name)


def impacket_decode(name, data):
    obj = struct_class(name, top=True)()
    n = obj.fromString(data)
    obj.fromStringReferents(data, n)
    return read(obj, name)


def impacket_encode(name, values):
    obj = struct_class(name, top=True)()
    fill(obj, name, values)
    return obj.getData() + obj.getDataReferents()


def main():
    helper = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(request):
        helper.stdin.write(json.dumps(request) + "\n")
        helper.stdin.flush()
        return json.loads(helper.stdout.readline())

    helper.stdin.write('{"op":"vectors"}\n')
    helper.stdin.flush()
    vectors = []
    while True:
        line = json.loads(helper.stdout.readline())
        if line.get("end"):
            break
        vectors.append(line)

    failures = 0
    for v in vectors:
        name = schema_of(v["name"])
        try:
            ours = impacket_decode(name, bytes.fromhex(v["hex"]))
            if ours != v["values"]:
                raise AssertionError("impacket reads the C++ bytes as %.300s" % ours)
            theirs = impacket_encode(name, v["values"])
            answer = ask({"op": "decode", "name": v["name"], "hex": theirs.hex()})
            if answer.get("status") != 0 or answer.get("values") != v["values"]:
                raise AssertionError("C++ reads impacket's bytes %.200s as %.300s" % (theirs.hex(), answer))
            print("ok   %s" % v["name"])
        except Exception as e:  # one line per failing vector, then the rest
            failures += 1
            print("FAIL %s: %s" % (v["name"], e))
    helper.stdin.close()
    helper.wait(timeout=60)
    print("%d vectors, %d failed" % (len(vectors), failures))
    return 1 if failures or not vectors else 0


if __name__ == "__main__":
    sys.exit(main())
