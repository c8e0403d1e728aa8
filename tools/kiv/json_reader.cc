#include "tools/kiv/json_reader.h"

#include <string>
#include <utility>
#include <vector>

namespace kiv::cli {
namespace {

// Builds the document from parser events. Containers on the open path are
// held by pointer; only the innermost one ever grows, so no pointer on the
// stack is invalidated by a push.
class DocumentBuilder final : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return Put(Json(nullptr)); }
  bool boolean(bool value) override { return Put(Json(value)); }
  bool number_integer(number_integer_t value) override { return Put(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Put(Json(value)); }
  bool number_float(number_float_t value, const string_t& text) override {
    // The lexer turns integer literals past 64 bits into doubles.
    if (text.find_first_of(".eE") == string_t::npos) {
      return Refuse("integer out of range: " + text);
    }
    return Put(Json(value));
  }
  bool string(string_t& value) override { return Put(Json(std::move(value))); }
  bool binary(binary_t&) override { return Refuse("binary values are not JSON"); }
  bool start_object(std::size_t) override { return Open(Json::object()); }
  bool key(string_t& name) override {
    if (open_.back()->contains(name)) return Refuse("repeated key \"" + name + "\"");
    key_ = std::move(name);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(std::size_t) override { return Open(Json::array()); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    // Drop nlohmann's "[json.exception.parse_error.101] " prefix.
    std::string text = e.what();
    if (const auto end = text.find("] "); text.starts_with("[json.") && end != std::string::npos) {
      text.erase(0, end + 2);
    }
    return Refuse(std::move(text));
  }

  Json TakeDocument() { return std::move(document_); }
  const std::string& error() const { return error_; }

 private:
  Json* Place(Json value) {
    if (open_.empty()) {
      document_ = std::move(value);
      return &document_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    return &(parent[key_] = std::move(value));
  }
  bool Put(Json value) {
    Place(std::move(value));
    return true;
  }
  bool Open(Json container) {
    open_.push_back(Place(std::move(container)));
    return true;
  }
  bool Close() {
    open_.pop_back();
    return true;
  }
  bool Refuse(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  Json document_;
  std::vector<Json*> open_;
  std::string key_;
  std::string error_;
};

}  // namespace

Json ReadJson(std::string_view text) {
  DocumentBuilder builder;
  if (!Json::sax_parse(text, &builder)) {
    throw NotationError(builder.error().empty() ? "not JSON" : builder.error());
  }
  return builder.TakeDocument();
}

std::string Excerpt(const Json& value) {
  constexpr std::size_t kLongest = 60;
  std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > kLongest) {
    std::size_t cut = kLongest - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return text;
}

}  // namespace kiv::cli
