// Writing and reading manifests.
#include "dzlib/manifest.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "dzlib/records.h"
#include "dzlib/text.h"
#include "dzlib/text_field.h"

namespace dz {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kManifestVersion = 1;

// A stored field: its text (for people) and its bytes in hex (what counts), without the zero
// bytes that end it.
template <std::size_t width>
Json fieldJson(const char (&field)[width]) {
    std::size_t used = width;
    while (used > 0 && field[used - 1] == '\0') --used;
    return Json{{"text", utf8Text(fieldText(field, width))},
                {"hex", hexOf(std::string_view(field, used))}};
}

// A path: its text for people (each byte that is not UTF-8 as U+FFFD) and, under the key with
// "_hex" added, its bytes (what counts).
void putPath(Json& object, const std::string& key, const std::string& path) {
    object[key] = utf8Text(path);
    object[key + "_hex"] = hexOf(path);
}

Json optionalHex(const std::optional<std::string>& bytes) {
    return bytes ? Json(hexOf(*bytes)) : Json(nullptr);
}

Json wrapperJson(const Wrapper& wrapper) {
    if (!wrapper.gzip) {
        return Json{{"format", "zlib"},
                    {"header_hex", hexOf(std::string_view(
                                       reinterpret_cast<const char*>(wrapper.zlibHeader), 2))}};
    }
    return Json{{"format", "gzip"},
                {"modification_time", wrapper.modificationTime},
                {"extra_flags", wrapper.extraFlags},
                {"operating_system", wrapper.operatingSystem},
                {"text", wrapper.text},
                {"header_crc", wrapper.headerCrc},
                {"extra_hex", optionalHex(wrapper.extra)},
                {"name_hex", optionalHex(wrapper.name)},
                {"comment_hex", optionalHex(wrapper.comment)}};
}

// Reading, with the first fault thrown as a message.
struct Invalid {
    std::string what;
};

const Json& member(const Json& object, const char* key) {
    if (!object.is_object() || !object.contains(key))
        throw Invalid{"\"" + std::string(key) + "\" is missing"};
    return object.at(key);
}

template <typename Number>
Number number(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > std::uint64_t(Number(-1))) {
        throw Invalid{"\"" + std::string(key) + "\" is not a number that fits"};
    }
    return value.get<Number>();
}

std::string bytesOf(const Json& value, const char* what) {
    std::string bytes;
    if (!value.is_string() || !bytesOfHex(value.get<std::string>(), bytes)) {
        throw Invalid{std::string(what) + " is not hexadecimal"};
    }
    return bytes;
}

std::optional<std::string> optionalBytes(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (value.is_null()) return std::nullopt;
    return bytesOf(value, key);
}

// A path written by putPath: the hex when it is there, else the text.
std::string readPath(const Json& object, const std::string& key) {
    const std::string hexKey = key + "_hex";
    if (object.contains(hexKey)) return bytesOf(object.at(hexKey), hexKey.c_str());
    const Json& text = member(object, key.c_str());
    if (!text.is_string()) throw Invalid{"\"" + key + "\" is not a path"};
    return text.get<std::string>();
}

// Refuses an object that holds one key twice, as the JSON is read: which of the two counts
// would otherwise be a guess.
class DuplicateKeys {
  public:
    bool operator()(int depth, nlohmann::json::parse_event_t event, Json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (event == Event::object_start) {
            keys_.resize(static_cast<std::size_t>(depth) + 1);
            keys_.back().clear();
        } else if (event == Event::key) {
            std::set<std::string>& seen = keys_.at(static_cast<std::size_t>(depth) - 1);
            if (!seen.insert(parsed.get<std::string>()).second) {
                throw Invalid{"the key \"" + parsed.get<std::string>() + "\" is given twice"};
            }
        }
        return true;
    }

  private:
    std::vector<std::set<std::string>> keys_;  // of each object open at each depth
};

// A stored field from {"text", "hex"}: the hex when it is there, else the text.
template <std::size_t width>
void readField(const Json& object, const char* key, char (&field)[width]) {
    const Json& value = member(object, key);
    std::string bytes;
    if (value.contains("hex")) {
        bytes = bytesOf(value.at("hex"), key);
    } else {
        const Json& text = member(value, "text");
        if (!text.is_string()) throw Invalid{std::string(key) + " has no text"};
        bytes = text.get<std::string>();
    }
    if (bytes.size() > width) {
        throw Invalid{std::string(key) + " holds " + std::to_string(bytes.size()) +
                      " bytes, more than its " + std::to_string(width)};
    }
    std::memset(field, 0, width);
    std::memcpy(field, bytes.data(), bytes.size());
}

Wrapper readWrapperJson(const Json& object) {
    Wrapper wrapper;
    const Json& format = member(object, "format");
    if (format == "zlib") {
        const std::string header = bytesOf(member(object, "header_hex"), "header_hex");
        if (header.size() != 2) throw Invalid{"a zlib header has two bytes"};
        std::memcpy(wrapper.zlibHeader, header.data(), 2);
    } else if (format == "gzip") {
        wrapper.gzip = true;
        wrapper.modificationTime = number<std::uint32_t>(object, "modification_time");
        wrapper.extraFlags = number<std::uint8_t>(object, "extra_flags");
        wrapper.operatingSystem = number<std::uint8_t>(object, "operating_system");
        const Json& text = member(object, "text");
        const Json& headerCrc = member(object, "header_crc");
        if (!text.is_boolean() || !headerCrc.is_boolean())
            throw Invalid{"a gzip flag is not true or false"};
        wrapper.text = text.get<bool>();
        wrapper.headerCrc = headerCrc.get<bool>();
        wrapper.extra = optionalBytes(object, "extra_hex");
        wrapper.name = optionalBytes(object, "name_hex");
        wrapper.comment = optionalBytes(object, "comment_hex");
    } else {
        throw Invalid{"a wrapper is \"zlib\" or \"gzip\""};
    }
    if (!wrapperIsWritable(wrapper)) throw Invalid{"a wrapper cannot be written as it stands"};
    return wrapper;
}

}  // namespace

std::string manifestText(const Manifest& manifest) {
    const MainHeader& header = manifest.header;
    Json json;
    json["kx_manifest"] = kManifestVersion;
    const std::string time = isoTime(header.creationTime);
    json["container"] = Json{{"format_version", std::uint32_t{header.version}},
                             {"subfile_count", std::uint32_t{header.subfileCount}},
                             {"creation_time", time.empty() ? Json(nullptr) : Json(time)},
                             {"creation_time_raw", std::uint64_t{header.creationTime}},
                             {"phone_model", fieldJson(header.phoneModel)},
                             {"internal_name", fieldJson(header.internalName)},
                             {"chip", fieldJson(header.chip)},
                             {"file_name", fieldJson(header.fileName)}};
    if (manifest.origin) {
        const Origin& origin = *manifest.origin;
        Json original;
        putPath(original, "file", origin.file);
        original["size"] = origin.size;
        original["modified"] = origin.modified;
        original["header_md5_hex"] = hexOf(std::string_view(
            reinterpret_cast<const char*>(origin.headerDigest), sizeof origin.headerDigest));
        json["original"] = original;
    }
    json["entries"] = Json::array();
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        Json item{
            {"index", entry.originalIndex.value_or(static_cast<std::uint32_t>(i)) + 1},
            {"type", entry.type},
            {"name", fieldJson(entry.name)},
            {"reserved_hex", hexOf(std::string_view(reinterpret_cast<const char*>(entry.reserved),
                                                    sizeof entry.reserved))},
            {"wrapper", wrapperJson(entry.wrapper)}};
        if (entry.content) {
            putPath(item, "file", entry.content->file);
            item["offset"] = entry.content->offset;
            item["length"] = entry.content->length;
            item["proven"] = entry.proven;
        } else {
            item["file"] = nullptr;
            item["proven"] = entry.proven;
        }
        json["entries"].push_back(item);
    }
    return json.dump(2) + "\n";
}

namespace {

// The container's header fields.
dz::MainHeader readMainHeader(const Json& container) {
    dz::MainHeader header{};
    header.version = number<std::uint32_t>(container, "format_version");
    header.subfileCount = number<std::uint32_t>(container, "subfile_count");
    header.creationTime = number<std::uint64_t>(container, "creation_time_raw");
    readField(container, "phone_model", header.phoneModel);
    readField(container, "internal_name", header.internalName);
    readField(container, "chip", header.chip);
    readField(container, "file_name", header.fileName);
    return header;
}

// The original container as it was when the manifest was written.
Origin readOrigin(const Json& original) {
    Origin origin;
    origin.file = readPath(original, "file");
    origin.size = number<std::uint64_t>(original, "size");
    if (original.contains("modified")) {
        const Json& modified = original.at("modified");
        if (!modified.is_number_integer() ||
            (modified.is_number_unsigned() && modified.get<std::uint64_t>() > INT64_MAX)) {
            throw Invalid{"\"modified\" is not a number that fits"};
        }
        origin.modified = modified.get<std::int64_t>();
    }
    const std::string digest = bytesOf(member(original, "header_md5_hex"), "header_md5_hex");
    if (digest.size() != sizeof origin.headerDigest) {
        throw Invalid{"header_md5_hex holds " + std::to_string(digest.size()) + " bytes, not 16"};
    }
    std::memcpy(origin.headerDigest, digest.data(), digest.size());
    return origin;
}

// One entry: its stored fields, its wrapper, its place in the original and its content's.
ManifestEntry readEntry(const Json& item) {
    ManifestEntry entry;
    entry.type = number<std::uint32_t>(item, "type");
    readField(item, "name", entry.name);
    const std::string reserved = bytesOf(member(item, "reserved_hex"), "reserved_hex");
    if (reserved.size() != sizeof entry.reserved) {
        throw Invalid{"reserved_hex holds " + std::to_string(reserved.size()) + " bytes, not " +
                      std::to_string(sizeof entry.reserved)};
    }
    std::memcpy(entry.reserved, reserved.data(), reserved.size());
    entry.wrapper = readWrapperJson(member(item, "wrapper"));
    if (item.contains("index")) {
        const auto index = number<std::uint32_t>(item, "index");
        if (index == 0) throw Invalid{"an \"index\" counts from 1"};
        entry.originalIndex = index - 1;
    }
    if (!member(item, "file").is_null()) {
        entry.content = ContentPlace{readPath(item, "file"), number<std::uint64_t>(item, "offset"),
                                     number<std::uint64_t>(item, "length")};
    }
    if (item.contains("proven")) {
        const Json& proven = item.at("proven");
        if (!proven.is_boolean()) throw Invalid{"\"proven\" is not true or false"};
        entry.proven = proven.get<bool>();
    }
    return entry;
}

}  // namespace

bool parseManifest(const std::string& text, Manifest& manifest, std::string& error) {
    try {
        const Json json = Json::parse(text, DuplicateKeys());
        if (number<std::uint32_t>(json, "kx_manifest") != kManifestVersion) {
            throw Invalid{"it is not a version " + std::to_string(kManifestVersion) + " manifest"};
        }
        const Json& container = member(json, "container");
        manifest = Manifest();
        manifest.header = readMainHeader(container);
        if (json.contains("original")) manifest.origin = readOrigin(json.at("original"));
        const Json& entries = member(json, "entries");
        if (!entries.is_array()) throw Invalid{"\"entries\" is not a list"};
        for (const Json& item : entries) manifest.entries.push_back(readEntry(item));
        return true;
    } catch (const Invalid& invalid) {
        error = invalid.what;
    } catch (const nlohmann::json::exception& exception) {
        error = exception.what();
    }
    return false;
}

}  // namespace dz
