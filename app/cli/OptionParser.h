// A small table-driven command-line option parser.
//
// Rules: words are read left to right and words not beginning with '-' are
// not options. A word names an option when it equals the option's text, or
// when it is a proper prefix of exactly one longer option text. An argument
// is either attached as "option=value" or, for an option that requires one,
// taken from the next word unless that word is missing or begins with '-'.
// Options cannot be clumped and arguments cannot be glued to the option.
// Anything that breaks these rules comes back as an error for the caller to
// deal with.
#pragma once

#include <cstddef>
#include <string>

class OptionParser {
public:
    enum class Argument { None, Required };

    struct Option {
        int kind;          // caller-defined meaning
        const char* text;  // e.g. "-d", "--https"
        Argument argument;
    };

    struct Result {
        bool error = false;           // unknown, ambiguous, or bad argument
        const Option* option = nullptr; // the table entry (null when unknown)
        const char* word = nullptr;   // the word as the user wrote it
        std::string argument;
        bool has_argument = false;
    };

    OptionParser(int argc, char** argv, const Option* table, std::size_t table_size);

    // The next option word; false when the words are used up.
    bool Next(Result& result);

private:
    const Option* Find(const std::string& name) const;

    int argc_;
    char** argv_;
    const Option* table_;
    std::size_t table_size_;
    int index_ = 1;
};
