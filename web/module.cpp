// The library as the page's Worker (and node) calls it: a few C functions over the public API.
// The container is a file the host reads (platform/web_files.cpp); one is open at a time.
//   kx_open(path)            1 when it opened (surveyed, whatever the survey found), else 0
//   kx_survey()              the main header, the table, the entries and the outputs, as JSON
//   kx_prove(index)          proves an entry a piece at a time (memory flat); returns its reason
//   kx_prove_begin()         begins proving every entry the survey passed, several at once,
//                            their digests side by side; tells the host
//                            Module.kestrixProven(index, reason, size) as each ends
//   kx_prove_step(bytes)     goes on by `bytes` of content of each entry in hand, so that the
//                            host may read ahead between steps; 1 while more is to come, else 0
//   kx_prove_failed()        how many of them failed so far
//   kx_proven_size()         the content's size after an entry proved ok
//   kx_reader_open(index)    starts reading an entry's content for saving
//   kx_reader_read()         the next bytes of it into kx_buffer(): their count, 0 at the end
//   kx_reader_reason()       once the reader is done: its reason (0 when proven)
//   kx_reason_code(r), kx_reason_text(r)
// Reasons are kestrix::Reason as numbers. Progress is the host's to count: every byte read from
// the container goes through it.
#include <emscripten.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/kestrix.h"

// clang-format off
EM_JS(void, kestrix_web_proven, (std::uint32_t index, int reason, double size), {
    Module.kestrixProven(index, reason, size);
});
// clang-format on

namespace {

kestrix::Container container;
std::optional<kestrix::EntryReader> reader;
std::optional<kestrix::StepwiseProver> prover;
std::vector<std::uint32_t> good;  // the entries the prover proves
int failed = 0;
std::string error;
std::string survey;
std::uint64_t provenSize = 0;
constexpr std::size_t kBufferSize = 1 << 20;
std::uint8_t buffer[kBufferSize];

// A JSON string of bytes in no particular character set: ASCII as it stands, other bytes as the
// Latin-1 letters of their values.
void putText(std::string& json, const std::string& text) {
    json += '"';
    for (unsigned char byte : text) {
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += static_cast<char>(byte);
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            json += escaped;
        } else {
            json += static_cast<char>(byte);
        }
    }
    json += '"';
}

void putField(std::string& json, const char* name, const std::string& text) {
    json += ",\"";
    json += name;
    json += "\":";
    putText(json, text);
}

void putNumber(std::string& json, const char* name, std::uint64_t value) {
    json += ",\"";
    json += name;
    json += "\":" + std::to_string(value);
}

std::string hexOf(const kestrix::Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

std::string surveyJson() {
    const kestrix::MainHeader& header = container.mainHeader();
    std::string json = "{\"length\":" + std::to_string(container.length());
    json += ",\"good\":";
    json += container.good() ? "true" : "false";
    json += ",\"header\":{\"verdict\":" + std::to_string(static_cast<int>(header.verdict));
    putNumber(json, "version", header.version);
    putNumber(json, "subfileCount", header.subfileCount);
    // A file time needs 64 bits, more than a JavaScript number holds exactly.
    putField(json, "creationTime", std::to_string(header.creationTime));
    putField(json, "phoneModel", header.phoneModel);
    putField(json, "internalName", header.internalName);
    putField(json, "chip", header.chip);
    putField(json, "fileName", header.fileName);
    json +=
        "},\"table\":{\"verdict\":" + std::to_string(static_cast<int>(container.table().verdict));
    json += ",\"cutShort\":";
    json += container.table().cutShort ? "true" : "false";
    json += "},\"entries\":[";
    for (const kestrix::Entry& entry : container.entries()) {
        if (entry.index > 0) json += ',';
        json += "{\"index\":" + std::to_string(entry.index);
        putNumber(json, "type", entry.type);
        putNumber(json, "offset", entry.offset);
        putNumber(json, "packedSize", entry.packedSize);
        putField(json, "name", entry.name);
        putField(json, "digest", hexOf(entry.digest));
        putField(json, "outputName", entry.outputName);
        json += ",\"output\":" + std::to_string(entry.output);
        putNumber(json, "piece", entry.piece);
        putNumber(json, "pieces", entry.pieces);
        json += ",\"reason\":" + std::to_string(static_cast<int>(entry.reason)) + "}";
    }
    json += "],\"outputs\":[";
    bool first = true;
    for (const kestrix::Output& output : container.outputs()) {
        if (!first) json += ',';
        first = false;
        json += "{\"pieces\":[";
        for (std::size_t i = 0; i < output.pieces.size(); ++i) {
            if (i > 0) json += ',';
            json += std::to_string(output.pieces[i]);
        }
        json += "]";
        putField(json, "name", output.name);
        json += "}";
    }
    json += "]}";
    return json;
}

bool validIndex(std::uint32_t index) {
    return index < container.entries().size();
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int kx_open(const char* path) {
    reader.reset();
    prover.reset();
    survey.clear();
    container = kestrix::Container();
    if (!container.open(path, error)) return 0;
    survey = surveyJson();
    return 1;
}

EMSCRIPTEN_KEEPALIVE const char* kx_error() {
    return error.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* kx_survey() {
    return survey.c_str();
}

EMSCRIPTEN_KEEPALIVE int kx_prove(std::uint32_t index) {
    if (!validIndex(index)) return static_cast<int>(kestrix::Reason::read);
    const kestrix::Proof proof = kestrix::proveStreaming(container, index);
    provenSize = proof.unpackedSize;
    return static_cast<int>(proof.reason);
}

EMSCRIPTEN_KEEPALIVE void kx_prove_begin() {
    prover.reset();
    good.clear();
    failed = 0;
    for (const kestrix::Entry& entry : container.entries()) {
        if (entry.reason == kestrix::Reason::ok) good.push_back(entry.index);
    }
    prover.emplace(container, good, [](std::size_t position, const kestrix::Proof& proof) {
        if (proof.reason != kestrix::Reason::ok) ++failed;
        kestrix_web_proven(good[position], static_cast<int>(proof.reason),
                           static_cast<double>(proof.unpackedSize));
    });
}

EMSCRIPTEN_KEEPALIVE int kx_prove_step(double bytes) {
    if (!prover) return 0;
    if (prover->step(static_cast<std::uint64_t>(bytes))) return 1;
    prover.reset();
    return 0;
}

EMSCRIPTEN_KEEPALIVE int kx_prove_failed() {
    return failed;
}

EMSCRIPTEN_KEEPALIVE double kx_proven_size() {
    return static_cast<double>(provenSize);
}

EMSCRIPTEN_KEEPALIVE int kx_reader_open(std::uint32_t index) {
    reader.reset();
    if (!validIndex(index)) return 0;
    reader.emplace(container, index);
    return 1;
}

EMSCRIPTEN_KEEPALIVE int kx_reader_read() {
    if (!reader) return 0;
    return static_cast<int>(reader->read(buffer, kBufferSize));
}

EMSCRIPTEN_KEEPALIVE int kx_reader_reason() {
    if (!reader || !reader->done()) return static_cast<int>(kestrix::Reason::read);
    return static_cast<int>(reader->proof().reason);
}

EMSCRIPTEN_KEEPALIVE std::uint8_t* kx_buffer() {
    return buffer;
}

EMSCRIPTEN_KEEPALIVE const char* kx_reason_code(int reason) {
    return kestrix::reasonCode(static_cast<kestrix::Reason>(reason));
}

EMSCRIPTEN_KEEPALIVE const char* kx_reason_text(int reason) {
    return kestrix::reasonText(static_cast<kestrix::Reason>(reason));
}

}  // extern "C"
