// A small JSON reader for the tool tests: enough to check the shape and the
// values of `tidepool probe --json`.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace minijson {

struct Value {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;
  std::vector<std::string> order;  // member names as written

  bool Has(const std::string &k) const { return kind == Object && members.count(k) != 0; }
  const Value &operator[](const std::string &k) const { return members.at(k); }
  const Value &operator[](size_t i) const { return items.at(i); }
  long long Int() const { return static_cast<long long>(number); }
};

class Parser {
 public:
  explicit Parser(const std::string &s) : s_(s) {}
  // False on any syntax error or trailing text.
  bool Parse(Value *out) {
    if (!ParseValue(out, 0)) return false;
    Skip();
    return pos_ == s_.size();
  }

 private:
  void Skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool Literal(const char *word) {
    const std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }
  bool ParseString(std::string *out) {
    if (pos_ >= s_.size() || s_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c == '\\') {
        if (pos_ >= s_.size()) return false;
        char e = s_[pos_++];
        if (e == 'u') {
          if (pos_ + 4 > s_.size()) return false;
          *out += static_cast<char>(std::strtol(s_.substr(pos_, 4).c_str(), nullptr, 16));
          pos_ += 4;
        } else {
          *out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
      } else {
        *out += c;
      }
    }
    if (pos_ >= s_.size()) return false;
    ++pos_;
    return true;
  }
  bool ParseValue(Value *v, int depth) {
    if (depth > 64) return false;
    Skip();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == 'n') return Literal("null");
    if (c == 't' || c == 'f') {
      v->kind = Value::Bool;
      v->boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == '"') {
      v->kind = Value::String;
      return ParseString(&v->text);
    }
    if (c == '[') {
      v->kind = Value::Array;
      ++pos_;
      Skip();
      if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
      for (;;) {
        v->items.emplace_back();
        if (!ParseValue(&v->items.back(), depth + 1)) return false;
        Skip();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
        return false;
      }
    }
    if (c == '{') {
      v->kind = Value::Object;
      ++pos_;
      Skip();
      if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
      for (;;) {
        Skip();
        std::string key;
        if (!ParseString(&key)) return false;
        Skip();
        if (pos_ >= s_.size() || s_[pos_] != ':') return false;
        ++pos_;
        v->order.push_back(key);
        if (!ParseValue(&v->members[key], depth + 1)) return false;
        Skip();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
        return false;
      }
    }
    char *end = nullptr;
    v->kind = Value::Number;
    v->number = std::strtod(s_.c_str() + pos_, &end);
    if (end == s_.c_str() + pos_) return false;
    pos_ = static_cast<size_t>(end - s_.c_str());
    return true;
  }

  const std::string &s_;
  size_t pos_ = 0;
};

}  // namespace minijson
