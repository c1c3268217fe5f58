// A small strict parser for the JSON rundock-check prints (objects, arrays, strings and numbers; strings escape
// only quotes, backslashes and control characters): anything else throws.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace test_json {

struct Value {
    double number = 0;
    std::string text;  // a string's, in UTF-8
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

    Value parse() {
        Value value;
        if (take('{')) {
            if (take('}')) return value;
            do {
                std::string key = string();
                if (!take(':')) fail();
                value.members.emplace_back(std::move(key), parse());
            } while (take(','));
            if (!take('}')) fail();
        } else if (take('[')) {
            if (take(']')) return value;
            do value.items.push_back(parse());
            while (take(','));
            if (!take(']')) fail();
        } else if (at_ < json_.size() && json_[at_] == '"') {
            value.text = string();
        } else {
            std::size_t used = 0;
            value.number = std::stod(json_.substr(at_), &used);
            at_ += used;
        }
        return value;
    }

    std::string string() {
        if (!take('"')) fail();
        std::string text;
        while (at_ < json_.size() && json_[at_] != '"') {
            char c = json_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) fail();
            if (c == '\\' && json_.compare(at_, 1, "u") == 0) {
                const unsigned long code = std::stoul(json_.substr(at_ + 1, 4), nullptr, 16);
                if (code >= 0x20) fail();
                c = char(code);
                at_ += 5;
            } else if (c == '\\') {
                if (at_ >= json_.size() || (json_[at_] != '"' && json_[at_] != '\\')) fail();
                c = json_[at_++];
            }
            text += c;
        }
        if (at_++ >= json_.size()) fail();
        return text;
    }

    const std::string& json_;
    std::size_t at_ = 0;
};

inline Value parse(const std::string& json) { return Parser(json).document(); }

}  // namespace test_json
