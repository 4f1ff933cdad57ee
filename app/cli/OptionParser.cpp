#include "OptionParser.h"

#include <cstring>

OptionParser::OptionParser(int argc, char** argv, const Option* table, std::size_t table_size)
    : argc_(argv ? argc : 0), argv_(argv), table_(table), table_size_(table_size) {}

const OptionParser::Option* OptionParser::Find(const std::string& name) const {
    for (std::size_t i = 0; i < table_size_; ++i)
        if (name == table_[i].text) return &table_[i];

    // Abbreviations: the name must start exactly one longer option.
    const Option* candidate = nullptr;
    int matches = 0;
    for (std::size_t i = 0; i < table_size_; ++i) {
        const char* text = table_[i].text;
        if (std::strlen(text) > name.size() && std::strncmp(text, name.c_str(), name.size()) == 0) {
            candidate = &table_[i];
            ++matches;
        }
    }
    return matches == 1 ? candidate : nullptr;
}

bool OptionParser::Next(Result& result) {
    while (index_ < argc_) {
        const char* word = argv_[index_++];
        if (!word || word[0] != '-') continue; // not an option

        result = Result{};
        result.word = word;
        const char* equals = std::strchr(word, '=');
        const std::string name = equals ? std::string(word, equals) : std::string(word);
        result.option = Find(name);
        if (!result.option) {
            result.error = true;
            return true;
        }
        if (equals) {
            if (result.option->argument == Argument::None) {
                result.error = true;
            } else {
                result.argument = equals + 1;
                result.has_argument = true;
            }
            return true;
        }
        if (result.option->argument == Argument::Required) {
            const char* next = index_ < argc_ ? argv_[index_] : nullptr;
            if (!next || next[0] == '-') {
                result.error = true; // the next word is left for the next round
            } else {
                result.argument = next;
                result.has_argument = true;
                ++index_;
            }
        }
        return true;
    }
    return false;
}
