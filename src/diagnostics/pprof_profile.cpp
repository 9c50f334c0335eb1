// pprof_profile.cpp - block groups as a pprof profile (profile.proto).
//
// The profile has two sample types, inuse_objects (count) and inuse_space
// (bytes, the default), and one sample per group whose locations run from
// the allocating operation outwards. Every distinct return address is one
// location with one line (the call site's file and line where the line
// tables know them), every distinct (function, file) one function, every
// module one mapping with its loaded range (the program's own first: pprof
// takes the first mapping for the main binary). Mappings say that functions (and
// files and lines, when known) are filled in, so pprof does not try to
// symbolise. A group without a recorded stack gets one location of the
// function "[no stack recorded]".
//
// The message is encoded by hand (varints and length-delimited fields; the
// field numbers are profile.proto's) into memory, then gzipped with zlib
// where the library has it, and written in one go.
//
// Thread safety: takes no lock; reads only the groups given.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(KRMM_HAVE_ZLIB)
#include <zlib.h>
#endif

#include <KRMM/Diagnostics.h>

#include "diagnostics/frame_info.h"

namespace KRMM::diag {
namespace {

// profile.proto field numbers.
enum ProfileField : uint32_t {
    kSampleType = 1, kSample = 2, kMapping = 3, kLocation = 4, kFunction = 5, kStringTable = 6,
    kTimeNanos = 9, kPeriodType = 11, kPeriod = 12, kDefaultSampleType = 14,
};
enum ValueTypeField : uint32_t { kValueTypeType = 1, kValueTypeUnit = 2 };
enum SampleField : uint32_t { kSampleLocationId = 1, kSampleValue = 2 };
enum MappingField : uint32_t {
    kMappingId = 1, kMappingStart = 2, kMappingLimit = 3, kMappingOffset = 4, kMappingFilename = 5,
    kMappingHasFunctions = 7, kMappingHasFilenames = 8, kMappingHasLineNumbers = 9,
};
enum LocationField : uint32_t { kLocationId = 1, kLocationMappingId = 2, kLocationAddress = 3, kLocationLine = 4 };
enum LineField : uint32_t { kLineFunctionId = 1, kLineLine = 2 };
enum FunctionField : uint32_t { kFunctionId = 1, kFunctionName = 2, kFunctionSystemName = 3, kFunctionFilename = 4 };

// Keys of our own keep the containers' code internal to the
// library (an instantiation on standard types alone would be exported).
struct FunctionKey {
    std::string name;
    std::string file;
    bool operator<(const FunctionKey& other) const {
        return name != other.name ? name < other.name : file < other.file;
    }
};

class Message {
public:
    void Varint(uint32_t field, uint64_t value) {
        if (value == 0) return;  // proto3: zero is the default and is not written
        Key(field, 0);
        Raw(value);
    }
    void Bool(uint32_t field, bool value) { Varint(field, value ? 1 : 0); }
    void Bytes(uint32_t field, const std::string& bytes) {
        Key(field, 2);
        Raw(bytes.size());
        data_ += bytes;
    }
    void Nested(uint32_t field, const Message& message) { Bytes(field, message.data_); }
    void Packed(uint32_t field, const std::vector<uint64_t>& values) {
        Message packed;
        for (const uint64_t value : values) packed.Raw(value);
        Bytes(field, packed.data_);
    }
    const std::string& Data() const { return data_; }

private:
    void Key(uint32_t field, uint32_t wireType) { Raw(uint64_t{field} << 3 | wireType); }
    void Raw(uint64_t value) {
        while (value >= 0x80) {
            data_ += static_cast<char>(value | 0x80);
            value >>= 7;
        }
        data_ += static_cast<char>(value);
    }
    std::string data_;
};

class ProfileBuilder {
public:
    ProfileBuilder() { Intern(""); }

    uint64_t Intern(const std::string& text) {
        auto [slot, added] = strings_.try_emplace(text, strings_.size());
        if (added) stringOrder_.push_back(text);
        return slot->second;
    }

    uint64_t Location(const detail::FrameInfo& frame) {
        auto [slot, added] = locations_.try_emplace(frame.address, locations_.size() + 1);
        if (!added) return slot->second;
        Message location;
        location.Varint(kLocationId, slot->second);
        location.Varint(kLocationMappingId, Mapping(frame));
        location.Varint(kLocationAddress, frame.address);
        Message line;
        line.Varint(kLineFunctionId, Function(frame.DisplayName(), frame.symbol, frame.file));
        line.Varint(kLineLine, frame.line > 0 ? static_cast<uint64_t>(frame.line) : 0);
        location.Nested(kLocationLine, line);
        body_.Nested(kLocation, location);
        return slot->second;
    }

    uint64_t NoStackLocation() {
        if (noStackLocation_ != 0) return noStackLocation_;
        noStackLocation_ = locations_.size() + 1;
        locations_.emplace(0, noStackLocation_);
        Message location;
        location.Varint(kLocationId, noStackLocation_);
        Message line;
        line.Varint(kLineFunctionId, Function("[no stack recorded]", "", ""));
        location.Nested(kLocationLine, line);
        body_.Nested(kLocation, location);
        return noStackLocation_;
    }

    void Sample(const std::vector<uint64_t>& locationIds, uint64_t objects, uint64_t bytes) {
        Message sample;
        sample.Packed(kSampleLocationId, locationIds);
        sample.Packed(kSampleValue, {objects, bytes});
        body_.Nested(kSample, sample);
    }

    std::string Finish() {
        Message profile;
        profile.Nested(kSampleType, ValueType("inuse_objects", "count"));
        profile.Nested(kSampleType, ValueType("inuse_space", "bytes"));
        const uint64_t defaultType = Intern("inuse_space");
        const Message periodType = ValueType("space", "bytes");
        std::string data = profile.Data() + programMapping_.Data() + libraryMappings_.Data() + body_.Data();
        Message tail;
        for (const std::string& text : stringOrder_) tail.Bytes(kStringTable, text);
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        tail.Varint(kTimeNanos, static_cast<uint64_t>(std::chrono::nanoseconds(now).count()));
        tail.Nested(kPeriodType, periodType);
        tail.Varint(kPeriod, 1);
        tail.Varint(kDefaultSampleType, defaultType);
        return data + tail.Data();
    }

private:
    Message ValueType(const char* type, const char* unit) {
        Message value;
        value.Varint(kValueTypeType, Intern(type));
        value.Varint(kValueTypeUnit, Intern(unit));
        return value;
    }

    uint64_t Function(const std::string& name, const std::string& systemName, const std::string& file) {
        auto [slot, added] = functions_.try_emplace(FunctionKey{name, file}, functions_.size() + 1);
        if (!added) return slot->second;
        Message function;
        function.Varint(kFunctionId, slot->second);
        function.Varint(kFunctionName, Intern(name));
        function.Varint(kFunctionSystemName, Intern(systemName.empty() ? name : systemName));
        function.Varint(kFunctionFilename, Intern(file));
        body_.Nested(kFunction, function);
        return slot->second;
    }

    uint64_t Mapping(const detail::FrameInfo& frame) {
        if (frame.modulePath.empty() || frame.moduleLimit <= frame.moduleStart) return 0;
        auto [slot, added] = mappings_.try_emplace(frame.moduleStart, mappings_.size() + 1);
        if (!added) return slot->second;
        Message mapping;
        Message& list = frame.mainProgram ? programMapping_ : libraryMappings_;
        mapping.Varint(kMappingId, slot->second);
        mapping.Varint(kMappingStart, frame.moduleStart);
        mapping.Varint(kMappingLimit, frame.moduleLimit);
        mapping.Varint(kMappingOffset, frame.moduleOffset);
        mapping.Varint(kMappingFilename, Intern(frame.modulePath));
        mapping.Bool(kMappingHasFunctions, true);
        mapping.Bool(kMappingHasFilenames, !frame.file.empty());
        mapping.Bool(kMappingHasLineNumbers, frame.line > 0);
        list.Nested(kMapping, mapping);
        return slot->second;
    }

    std::unordered_map<std::string, uint64_t, detail::TextHash> strings_;
    std::vector<std::string> stringOrder_;
    std::unordered_map<uintptr_t, uint64_t, detail::AddressHash> locations_;
    std::map<FunctionKey, uint64_t> functions_;
    std::unordered_map<uintptr_t, uint64_t, detail::AddressHash> mappings_;
    uint64_t noStackLocation_ = 0;
    Message programMapping_;
    Message libraryMappings_;
    Message body_;
};

std::string Encode(const BlockGroups& groups) {
    detail::FrameTable table;
    ProfileBuilder builder;
    std::vector<uint64_t> ids;
    for (const StackGroup& group : groups.groups) {
        ids.clear();
        for (void* frame : group.frames) ids.push_back(builder.Location(table.Describe(frame)));
        if (ids.empty()) ids.push_back(builder.NoStackLocation());
        builder.Sample(ids, group.blockCount, group.byteCount);
    }
    return builder.Finish();
}

#if defined(KRMM_HAVE_ZLIB)
// gzip framing (window bits 15 + 16). \returns false when zlib fails.
bool Gzip(const std::string& data, std::string* out) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out->resize(deflateBound(&stream, static_cast<uLong>(data.size())) + 32);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out->data());
    stream.avail_out = static_cast<uInt>(out->size());
    const int status = deflate(&stream, Z_FINISH);
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return status == Z_STREAM_END;
}
#endif

} // namespace

bool PprofProfilesAreCompressed() noexcept {
#if defined(KRMM_HAVE_ZLIB)
    return true;
#else
    return false;
#endif
}

bool WritePprofProfile(std::FILE* out, const BlockGroups& groups) {
    std::string bytes = Encode(groups);
#if defined(KRMM_HAVE_ZLIB)
    std::string compressed;
    if (bytes.size() > UINT32_MAX || !Gzip(bytes, &compressed)) return false;
    bytes.swap(compressed);
#endif
    return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() && std::fflush(out) == 0;
}

} // namespace KRMM::diag
