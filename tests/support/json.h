// A small strict JSON parser for what our programs print: a fault anywhere throws.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace test_json {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    double number = 0;  // also a Bool's 0 or 1
    std::string text;   // a String's, in UTF-8
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;  // in the order written

    const Value& operator[](const std::string& key) const {
        for (const auto& [name, value] : members)
            if (name == key) return value;
        throw std::out_of_range("no key " + key);
    }
};

class Parser {
public:
    explicit Parser(const std::string& json) : json_(json) {}

    Value document() {
        Value value = parse();
        skip();
        if (at_ != json_.size()) fail();
        return value;
    }

private:
    [[noreturn]] void fail() const { throw std::runtime_error("bad JSON at " + std::to_string(at_)); }
    void skip() { while (at_ < json_.size() && std::string(" \t\r\n").find(json_[at_]) != std::string::npos) ++at_; }
    bool take(char c) {
        skip();
        return at_ < json_.size() && json_[at_] == c && ++at_;
    }
    bool word(const std::string& w) { return json_.compare(at_, w.size(), w) == 0 && (at_ += w.size()); }

    Value parse() {
        Value value;
        skip();
        if (take('{')) {
            value.kind = Value::Object;
            if (take('}')) return value;
            do {
                skip();
                std::string key = string();
                if (!take(':')) fail();
                value.members.emplace_back(std::move(key), parse());
            } while (take(','));
            if (!take('}')) fail();
        } else if (take('[')) {
            value.kind = Value::Array;
            if (take(']')) return value;
            do value.items.push_back(parse());
            while (take(','));
            if (!take(']')) fail();
        } else if (at_ < json_.size() && json_[at_] == '"') {
            value.kind = Value::String;
            value.text = string();
        } else if (word("true")) {
            value.kind = Value::Bool;
            value.number = 1;
        } else if (word("false")) {
            value.kind = Value::Bool;
        } else if (word("null")) {
        } else {
            std::size_t used = 0;
            value.kind = Value::Number;
            value.number = std::stod(json_.substr(at_), &used);
            at_ += used;
        }
        return value;
    }

    std::string string() {
        if (at_ >= json_.size() || json_[at_++] != '"') fail();
        std::string text;
        while (at_ < json_.size() && json_[at_] != '"') {
            const unsigned char c = json_[at_++];
            if (c < 0x20) fail();
            if (c != '\\') {
                text += char(c);
                continue;
            }
            if (at_ >= json_.size()) fail();
            const char e = json_[at_++];
            if (e == 'u') {
                if (at_ + 4 > json_.size()) fail();
                const unsigned code = std::stoul(json_.substr(at_, 4), nullptr, 16);
                at_ += 4;
                // UTF-8 of a code point below 0x10000 (our programs escape control characters only).
                if (code < 0x80) text += char(code);
                else if (code < 0x800) text += {char(0xC0 | code >> 6), char(0x80 | (code & 0x3F))};
                else text += {char(0xE0 | code >> 12), char(0x80 | (code >> 6 & 0x3F)), char(0x80 | (code & 0x3F))};
            } else {
                const std::string plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                const std::size_t which = plain.find(e);
                if (which == std::string::npos) fail();
                text += meant[which];
            }
        }
        if (at_++ >= json_.size()) fail();
        return text;
    }

    const std::string& json_;
    std::size_t at_ = 0;
};

inline Value parse(const std::string& json) { return Parser(json).document(); }

}  // namespace test_json
