// The objects behind the handles of the in-process messaging library, and what its units share.
//
// Behaviour callers may rely on, beyond the public header:
// - Handles carry a magic number checked on every call; freeing or closing clears it, so a stale
//   handle is usually refused (reading freed memory cannot be made safe in general).
// - Every failure stores subCode = the returned code, responseCode = 0 and errorStr =
//   "<operation>: <reason>" in the calling thread's last-error record. SOLCLIENT_NOT_FOUND is
//   recorded the same way; SOLCLIENT_EOS is not a failure and is not recorded. Success leaves the
//   record as it was.
// - SOLCLIENT_FAIL changes nothing, out-arguments included. SOLCLIENT_NOT_FOUND stores an empty
//   value: a null pointer for text and map getters, null and 0 for the attachment pointer,
//   SOLCLIENT_NULL_DESTINATION and "" for destinations. getBinaryAttachmentMap is the exception: it
//   returns SOLCLIENT_NOT_FOUND without an attachment and SOLCLIENT_FAIL for bytes that are no
//   valid map, and leaves *map_p untouched in both cases.
// - Booleans are stored as zero or nonzero; the is*() getters and BOOL fields read back 0 or 1.
// - getNextField hands out the same view for the same nested field on every visit (after rewinds
//   and later adds too), rewound each time it is handed out. Views are freed with the container
//   they were read from; the first walk may allocate them, later walks do not allocate.
// - Map and stream handles accept any readable container as addContainer's source except the
//   target itself; getStringPtr works on any map handle and refuses streams.
// - solClient_msg_dump returns SOLCLIENT_OK when the whole text fit and SOLCLIENT_FAIL when it was
//   truncated; size 0 writes nothing and counts as truncated.
// - solClientTest_failNextAlloc(null) arms the switch with a default text.
// - The user-property map starts with max(64, min(size hint, 64 KiB)) bytes and grows
//   geometrically up to 4 GiB - 1. Earlier buffers are kept until the message is freed, so
//   pointers and nested handles read from the map stay valid across later adds.
// - Handles are not thread-safe; distinct messages and containers may be used from distinct
//   threads at once (the library holds no global lock; counters are relaxed atomics).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "solclient/encoding.h"
#include "vendor/solClient.h"

namespace solclient {

constexpr uint32_t kMessageMagic = 0x4D534731;    // "MSG1"
constexpr uint32_t kContainerMagic = 0x434E5431;  // "CNT1"

/// Who owns a container handle and whether it may be written.
enum class Role : uint8_t {
    Caller,      ///< made by createMap/createStream over caller memory; writable, caller closes it
    UserProps,   ///< the message's user-property map; writable and growable, lent
    Nested,      ///< a nested container read from another; read-only, lent
    Attachment,  ///< a view over attachment bytes; read-only, caller closes it
};

/// Immutable bytes shared by a message and the attachment views read from it. The count and the
/// bytes live in one block, so storing an attachment allocates once.
// One by-value assignment serves for copy and move.
class SharedBytes {  // NOLINT(cppcoreguidelines-special-member-functions)
public:
    SharedBytes() noexcept = default;
    /// A copy of `size` bytes; empty when there is no memory for it.
    static SharedBytes copyOf(const void* bytes, size_t size) noexcept {
        SharedBytes out;
        if (void* block = std::malloc(sizeof(Header) + size)) {
            out.header_ = new (block) Header;
            std::memcpy(out.get(), bytes, size);
        }
        return out;
    }
    SharedBytes(const SharedBytes& other) noexcept : header_(other.header_) {
        if (header_ != nullptr) header_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedBytes(SharedBytes&& other) noexcept : header_(std::exchange(other.header_, nullptr)) {}
    SharedBytes& operator=(SharedBytes other) noexcept {
        std::swap(header_, other.header_);
        return *this;
    }
    ~SharedBytes() {
        if (header_ != nullptr && header_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            header_->~Header();
            std::free(header_);
        }
    }

    unsigned char* get() const noexcept {
        return header_ != nullptr ? reinterpret_cast<unsigned char*>(header_ + 1) : nullptr;
    }
    explicit operator bool() const noexcept { return header_ != nullptr; }

private:
    // Aligned like any allocation, so the bytes after it are too.
    struct alignas(std::max_align_t) Header {
        std::atomic<size_t> refs{1};
    };
    Header* header_ = nullptr;
};

struct Container {
    uint32_t magic = kContainerMagic;
    uint8_t kind = enc::kMapKind;
    Role role = Role::Caller;
    unsigned char* base = nullptr;  ///< the container's header
    size_t capacity = 0;            ///< bytes writable from base (read-only: == used)
    size_t used = 0;                ///< bytes of the encoding, header included
    size_t cursor = enc::kHeaderSize;
    /// Nested-container fields before the cursor; in a tree: the index of the next field's view.
    size_t nestedOrdinal = 0;
    /// Views of nested fields, by ordinal among this container's nested-container fields. Made on
    /// first visit and handed out again on later visits; freed with this container. Containers only
    /// grow by appending, so a nested field never moves and its view stays valid.
    std::vector<Container*> children;
    /// Attachment: the views of every nested container at any depth, made with it in one block
    /// while its bytes are validated, in the order their fields occur (a container before its
    /// fields). The bytes never change, so no view is made later.
    std::vector<Container> tree;
    Container* views = nullptr;  ///< the tree this container belongs to, if any
    size_t firstChild = 0;       ///< in a tree: the index of the first nested field's view
    size_t subtreeEnd = 0;       ///< in a tree: the index just past the views under this one
    SharedBytes keep;            ///< Attachment: the bytes kept alive
    std::unique_ptr<unsigned char[]> own;                   ///< UserProps: the current buffer
    std::vector<std::unique_ptr<unsigned char[]>> retired;  ///< UserProps: earlier buffers
    Container* link = nullptr;  ///< chains containers being freed, so freeing needs no allocation
    /// UserProps: the last getStringPtr lookup, which the next one of the same name resumes.
    struct Lookup {
        std::string name;
        size_t scanned = 0;  ///< offset up to which fields were searched; 0: no lookup kept
        size_t found = 0;    ///< offset of the latest matching value; 0: none
    } lookup;

    bool isMap() const noexcept { return kind == enc::kMapKind; }
    bool writable() const noexcept { return role == Role::Caller || role == Role::UserProps; }
};

struct Destination {
    solClient_destinationType type;
    std::string name;
};

struct Message {
    uint32_t magic = kMessageMagic;
    uint32_t deliveryMode = SOLCLIENT_DELIVERY_MODE_DIRECT;
    uint32_t classOfService = 0;
    bool eliding = false;
    bool deliverToOne = false;
    bool reply = false;
    bool hasAttachment = false;
    uint32_t attachmentLength = 0;
    std::optional<Destination> destination;
    std::optional<Destination> replyTo;
    std::optional<std::string> correlationId;
    std::optional<std::string> httpContentType;
    Container* userProps = nullptr;
    /// Immutable once set; shared with attachment views. Null for an empty attachment.
    SharedBytes attachment;
};

// --- Last error (error.cpp) ----------------------------------------------------------------------

/// Records rc with "<op>: <printf-formatted reason>" as the thread's last error; returns rc.
#if defined(__GNUC__)
#define SOLCLIENT_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define SOLCLIENT_PRINTF(f, a)
#endif
solClient_returnCode_t fail(solClient_returnCode_t rc, const char* op, const char* fmt,
                            ...) noexcept SOLCLIENT_PRINTF(3, 4);

/// Consumes the armed allocation failure, if any, recording its text; true when it was armed.
bool takeAllocFailure() noexcept;

extern std::atomic<int64_t> liveMessages;
extern std::atomic<int64_t> liveContainers;

// --- Handles -------------------------------------------------------------------------------------

inline Message* asMessage(void* h) noexcept {
    auto* m = static_cast<Message*>(h);
    return m != nullptr && m->magic == kMessageMagic ? m : nullptr;
}
inline Container* asContainer(void* h) noexcept {
    auto* c = static_cast<Container*>(h);
    return c != nullptr && c->magic == kContainerMagic ? c : nullptr;
}
inline const char* badMessage(const void* h) noexcept {
    return h == nullptr ? "null message handle" : "invalid message handle";
}
inline const char* badContainer(const void* h) noexcept {
    return h == nullptr ? "null container handle" : "invalid container handle";
}

/// Frees a container and every view under it, without recursion (views nest arbitrarily deep).
void destroyContainer(Container* c) noexcept;

/// The bytes lent for an empty attachment, so the pointer is never null when one is present.
extern unsigned char emptyBytes[1];

}  // namespace solclient
