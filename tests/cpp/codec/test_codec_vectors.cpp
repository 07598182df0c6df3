// Conformance vectors written by an independent implementation: every case
// of vectors/manifest.json, read with a small JSON reader (the manifest uses
// objects, arrays, strings, integers and null only).
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "codec/codec.h"

namespace zelk {
namespace {

using Bytes = std::vector<uint8_t>;

struct Json;
using JsonObject = std::map<std::string, Json>;
using JsonArray = std::vector<Json>;

struct Json {
    std::variant<std::nullptr_t, std::string, double, JsonArray, JsonObject> value;

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(value); }
    const std::string& str() const { return std::get<std::string>(value); }
    double number() const { return std::get<double>(value); }
    const JsonArray& array() const { return std::get<JsonArray>(value); }
    const Json& operator[](const std::string& key) const {
        return std::get<JsonObject>(value).at(key);
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string text) : text_(std::move(text)) {}

    Json parse() {
        Json value = parse_value();
        skip_space();
        if (pos_ != text_.size()) throw std::runtime_error("trailing text in JSON");
        return value;
    }

private:
    Json parse_value() {
        skip_space();
        const char c = peek();
        if (c == '{') return parse_object();
        if (c == '[') return parse_array();
        if (c == '"') return {parse_string()};
        if (text_.compare(pos_, 4, "null") == 0) {
            pos_ += 4;
            return {nullptr};
        }
        std::size_t used = 0;
        const double number = std::stod(text_.substr(pos_), &used);
        pos_ += used;
        return {number};
    }

    Json parse_object() {
        JsonObject object;
        expect('{');
        while (skip_space(), peek() != '}') {
            std::string key = (skip_space(), parse_string());
            skip_space();
            expect(':');
            object.emplace(std::move(key), parse_value());
            skip_space();
            if (peek() == ',') ++pos_;
        }
        expect('}');
        return {std::move(object)};
    }

    Json parse_array() {
        JsonArray array;
        expect('[');
        while (skip_space(), peek() != ']') {
            array.push_back(parse_value());
            skip_space();
            if (peek() == ',') ++pos_;
        }
        expect(']');
        return {std::move(array)};
    }

    // The manifest's strings are names, hex and messages: no escapes.
    std::string parse_string() {
        expect('"');
        const std::size_t end = text_.find('"', pos_);
        if (end == std::string::npos) throw std::runtime_error("unterminated JSON string");
        std::string s = text_.substr(pos_, end - pos_);
        if (s.find('\\') != std::string::npos) throw std::runtime_error("JSON escape not supported");
        pos_ = end + 1;
        return s;
    }

    void skip_space() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    char peek() const {
        if (pos_ >= text_.size()) throw std::runtime_error("unexpected end of JSON");
        return text_[pos_];
    }
    void expect(char c) {
        if (peek() != c) throw std::runtime_error(std::string("expected ") + c + " in JSON");
        ++pos_;
    }

    std::string text_;
    std::size_t pos_ = 0;
};

const std::string VECTOR_DIR = std::string(ZELK_TEST_DATA_DIR) + "/vectors/";

Bytes read_file(const std::string& name) {
    std::ifstream in(VECTOR_DIR + name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + name);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::optional<Bytes> hex_or_null(const Json& field) {
    if (field.is_null()) return std::nullopt;
    const std::string& hex = field.str();
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::optional<ByteView> view_of(const std::optional<Bytes>& bytes) {
    if (!bytes) return std::nullopt;
    return ByteView(*bytes);
}

// The outcome of one call as the manifest states it: bytes or error text.
std::variant<Bytes, std::string> outcome(const Result<Bytes>& result) {
    if (result) return result.value();
    return result.error().display();
}

const JsonArray& manifest_cases() {
    static const Json manifest = [] {
        const Bytes text = read_file("manifest.json");
        return JsonReader(std::string(text.begin(), text.end())).parse();
    }();
    return manifest["cases"].array();
}

TEST(CodecVectors, EveryManifestCase) {
    const JsonArray& cases = manifest_cases();
    ASSERT_FALSE(cases.empty());
    NullDebugSink quiet;
    for (const Json& c : cases) {
        const std::string& name = c["name"].str();
        SCOPED_TRACE(name);
        const Bytes input = read_file(c["input"].str());
        const auto predictor_id = static_cast<uint8_t>(c["predictor_id"].number());
        const std::optional<Bytes> weights = hex_or_null(c["weights"]);
        const std::string& op = c["op"].str();
        ASSERT_TRUE(op == "encode" || op == "decode") << op;

        const Result<Bytes> result =
            op == "encode" ? compress_chunk(input, predictor_id, view_of(weights), quiet)
                           : decode_chunk(input, predictor_id, view_of(weights));
        if (c["error"].is_null()) {
            EXPECT_EQ(outcome(result), (std::variant<Bytes, std::string>(read_file(c["expected"].str()))));
        } else {
            EXPECT_EQ(outcome(result), (std::variant<Bytes, std::string>(c["error"].str())));
        }

        if (op != "encode" || c["expected"].is_null()) continue;
        const Bytes expected_chunk = read_file(c["expected"].str());
        for (const Json& w : c["roundtrip_weights"].array()) {
            const std::optional<Bytes> decoder_weights = hex_or_null(w);
            SCOPED_TRACE(decoder_weights ? "decoded with weights" : "decoded without weights");
            const Result<Bytes> restored = decode_chunk(expected_chunk, 0, view_of(decoder_weights));
            EXPECT_EQ(outcome(restored), (std::variant<Bytes, std::string>(input)));
        }
    }
}

}  // namespace
}  // namespace zelk
