// The readable text of a message.
//
// One "Name:<padding>value" line per header field that is set (Delivery Mode and Class Of Service
// always), then the user properties, one indented line per field, then the attachment's length and
// a hex-and-text view of its first 64 bytes. The text is formatted straight into the caller's
// buffer, without heap allocation. It returns SOLCLIENT_OK when the whole text fit and
// SOLCLIENT_FAIL when it was truncated (the buffer then holds as much as fit, NUL-terminated).

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "solclient/internal.h"

using namespace solclient;

namespace {

constexpr int kLabelWidth = 24;
constexpr uint32_t kHexViewBytes = 64;
constexpr uint32_t kHexBytesPerLine = 16;

/// Appends to a fixed buffer, keeping it NUL-terminated and never writing past its end.
class Writer {
public:
    Writer(char* buf, size_t size) : buf_(buf), size_(size) {
        if (size_ != 0)
            buf_[0] = '\0';
        else
            truncated_ = true;
    }
    bool truncated() const { return truncated_; }

    void put(const char* fmt, ...) SOLCLIENT_PRINTF(2, 3) {
        if (truncated_) return;
        va_list ap;
        va_start(ap, fmt);
        const size_t room = size_ - pos_;
        const int n = std::vsnprintf(buf_ + pos_, room, fmt, ap);
        va_end(ap);
        if (n < 0 || static_cast<size_t>(n) >= room) {
            pos_ = size_ - 1;
            buf_[pos_] = '\0';
            truncated_ = true;
        } else {
            pos_ += static_cast<size_t>(n);
        }
    }

    void label(const char* name) { put("%-*s", kLabelWidth, name); }

    /// Text from the message, quoted, with every byte outside printable ASCII (and the quote and
    /// backslash) escaped as \xNN: the dump stays ASCII, so it always decodes and a truncation
    /// never splits a character.
    void quoted(const char* text) {
        put("'");
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
            if (*p >= 0x20 && *p < 0x7F && *p != '\'' && *p != '\\')
                put("%c", static_cast<char>(*p));
            else
                put("\\x%02x", static_cast<unsigned>(*p));
        }
        put("'");
    }

private:
    char* buf_;
    size_t size_;
    size_t pos_ = 0;
    bool truncated_ = false;
};

const char* destTypeName(solClient_destinationType t) {
    switch (t) {
        case SOLCLIENT_NULL_DESTINATION: return "Null";
        case SOLCLIENT_TOPIC_DESTINATION: return "Topic";
        case SOLCLIENT_QUEUE_DESTINATION: return "Queue";
        case SOLCLIENT_TOPIC_TEMP_DESTINATION: return "Temporary Topic";
        case SOLCLIENT_QUEUE_TEMP_DESTINATION: return "Temporary Queue";
        default: return nullptr;
    }
}

const char* fieldTypeName(uint8_t t) {
    static const char* const names[] = {"BOOL",  "UINT8",  "INT8",  "UINT16", "INT16",  "UINT32",
                                        "INT32", "UINT64", "INT64", "WCHAR",  "STRING", "BYTEARRAY",
                                        "FLOAT", "DOUBLE", "MAP",   "STREAM", "NULL"};
    return t <= enc::kMaxTypeCode ? names[t] : "UNKNOWN";
}

void destination(Writer& w, const char* name, const std::optional<Destination>& d) {
    if (!d) return;
    w.label(name);
    if (const char* t = destTypeName(d->type))
        w.put("%s ", t);
    else
        w.put("type %d ", static_cast<int>(d->type));
    w.quoted(d->name.c_str());
    w.put("\n");
}

/// x with the fewer digits (short) when they read back as the same value, else the more (full).
void putReal(Writer& w, double x, bool isFloat) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", isFloat ? 7 : 15, x);
    const double back = std::strtod(text, nullptr);
    const bool same = isFloat ? static_cast<float>(back) == static_cast<float>(x) : back == x;
    if (!same) std::snprintf(text, sizeof text, "%.*g", isFloat ? 9 : 17, x);
    w.put("%s", text);
}

template <typename T>
T load(const unsigned char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

void fieldValue(Writer& w, const enc::FieldRef& f) {
    const unsigned char* v = f.value;
    switch (f.type) {
        case SOLCLIENT_BOOL: w.put("%s", *v != 0 ? "true" : "false"); break;
        case SOLCLIENT_UINT8: w.put("%u", static_cast<unsigned>(*v)); break;
        case SOLCLIENT_INT8: w.put("%d", static_cast<int>(load<int8_t>(v))); break;
        case SOLCLIENT_UINT16:
        case SOLCLIENT_WCHAR: w.put("%u", static_cast<unsigned>(load<uint16_t>(v))); break;
        case SOLCLIENT_INT16: w.put("%d", static_cast<int>(load<int16_t>(v))); break;
        case SOLCLIENT_UINT32: w.put("%" PRIu32, load<uint32_t>(v)); break;
        case SOLCLIENT_INT32: w.put("%" PRId32, load<int32_t>(v)); break;
        case SOLCLIENT_UINT64: w.put("%" PRIu64, load<uint64_t>(v)); break;
        case SOLCLIENT_INT64: w.put("%" PRId64, load<int64_t>(v)); break;
        case SOLCLIENT_FLOAT: putReal(w, static_cast<double>(load<float>(v)), true); break;
        case SOLCLIENT_DOUBLE: putReal(w, load<double>(v), false); break;
        case SOLCLIENT_STRING: w.quoted(reinterpret_cast<const char*>(v)); break;
        case SOLCLIENT_BYTEARRAY: w.put("<%u bytes>", f.valueLength); break;
        case SOLCLIENT_MAP: w.put("<map of %u bytes>", f.valueLength); break;
        case SOLCLIENT_STREAM: w.put("<stream of %u bytes>", f.valueLength); break;
        case SOLCLIENT_NULL: w.put("null"); break;
        default: break;
    }
}

void userProperties(Writer& w, const Container* c) {
    if (c == nullptr) return;
    size_t count = 0;
    enc::FieldRef f;
    for (size_t pos = enc::kHeaderSize; pos < c->used; pos = f.next, ++count)
        if (enc::decodeField(c->base, pos, c->used, true, false, f) != nullptr) break;
    w.label("User Property Map:");
    w.put("%zu field%s\n", count, count == 1 ? "" : "s");
    for (size_t pos = enc::kHeaderSize; pos < c->used; pos = f.next) {
        if (const char* why = enc::decodeField(c->base, pos, c->used, true, false, f)) {
            w.put("  <corrupt field: %s>\n", why);
            return;
        }
        w.put("  Key ");
        w.quoted(f.name);
        w.put(" (%s): ", fieldTypeName(f.type));
        fieldValue(w, f);
        w.put("\n");
    }
}

void attachment(Writer& w, const Message& m) {
    if (!m.hasAttachment) return;
    w.label("Binary Attachment:");
    w.put("len=%u\n", m.attachmentLength);
    const unsigned char* p = m.attachment.get();
    const uint32_t shown = m.attachmentLength < kHexViewBytes ? m.attachmentLength : kHexViewBytes;
    for (uint32_t line = 0; line < shown; line += kHexBytesPerLine) {
        w.put("  %04x:", line);
        for (uint32_t i = line; i < line + kHexBytesPerLine; ++i) {
            if (i < shown)
                w.put(" %02x", p[i]);
            else
                w.put("   ");
        }
        w.put("  ");
        for (uint32_t i = line; i < line + kHexBytesPerLine && i < shown; ++i)
            w.put("%c", p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '.');
        w.put("\n");
    }
    if (shown < m.attachmentLength) w.put("  ... %u more bytes\n", m.attachmentLength - shown);
}

}  // namespace

extern "C" {

SOLCLIENT_API solClient_returnCode_t solClient_msg_dump(solClient_opaqueMsg_pt msg, char* buffer,
                                                        size_t bufferSize) {
    const char* op = "solClient_msg_dump";
    const Message* m = asMessage(msg);
    if (m == nullptr) return fail(SOLCLIENT_FAIL, op, "%s", badMessage(msg));
    if (buffer == nullptr) return fail(SOLCLIENT_FAIL, op, "null buffer");

    Writer w(buffer, bufferSize);
    destination(w, "Destination:", m->destination);
    destination(w, "ReplyTo:", m->replyTo);
    if (m->correlationId) {
        w.label("Correlation Id:");
        w.quoted(m->correlationId->c_str());
        w.put("\n");
    }
    w.label("Delivery Mode:");
    switch (m->deliveryMode) {
        case SOLCLIENT_DELIVERY_MODE_DIRECT: w.put("DIRECT\n"); break;
        case SOLCLIENT_DELIVERY_MODE_PERSISTENT: w.put("PERSISTENT\n"); break;
        case SOLCLIENT_DELIVERY_MODE_NONPERSISTENT: w.put("NONPERSISTENT\n"); break;
        default: w.put("0x%x\n", m->deliveryMode); break;
    }
    w.label("Class Of Service:");
    w.put("%" PRIu32 "\n", m->classOfService);
    if (m->reply) w.put("%-*s%s\n", kLabelWidth, "Reply Message:", "true");
    if (m->eliding) w.put("%-*s%s\n", kLabelWidth, "Eliding Eligible:", "true");
    if (m->deliverToOne) w.put("%-*s%s\n", kLabelWidth, "Deliver To One:", "true");
    if (m->httpContentType) {
        w.label("HTTP Content Type:");
        w.quoted(m->httpContentType->c_str());
        w.put("\n");
    }
    userProperties(w, m->userProps);
    attachment(w, *m);
    if (w.truncated())
        return fail(SOLCLIENT_FAIL, op, "the text does not fit in %zu bytes; truncated",
                    bufferSize);
    return SOLCLIENT_OK;
}

}  // extern "C"
