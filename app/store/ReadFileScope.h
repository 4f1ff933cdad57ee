// Closes a file that was opened for reading when the scope ends, on every
// path out. Nothing was written, so a failing close loses nothing.
#pragma once

#include "aFile.h"

class ReadFileScope {
public:
    explicit ReadFileScope(aFile*& file) : file_(file) {}
    ReadFileScope(const ReadFileScope&) = delete;
    ReadFileScope& operator=(const ReadFileScope&) = delete;
    ~ReadFileScope() {
        if (file_) (void)aFile_Close(&file_); // read only: nothing to flush or lose
    }

private:
    aFile*& file_;
};
