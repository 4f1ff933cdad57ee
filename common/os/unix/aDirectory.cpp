#include "aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "aFile.h"

#define sMAX_COMPONENTS 10

bool aDirectory_Exists(const char* path)
{
    if (path == NULL)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Makes one directory; someone else making it first is fine, anything else
 * in the way (a file, say) is not. */
static bool sMake(const char* path, mode_t mode)
{
    if (mkdir(path, mode) == 0)
        return true;
    return errno == EEXIST && aDirectory_Exists(path);
}

aErr aDirectory_Ensure(const char* path, mode_t mode)
{
    if (path == NULL || path[0] == '\0')
        return aErrParam;
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH)
        return aErrFileNameLength;
    if (aDirectory_Exists(path))
        return aErrNone;

    std::string copy(path);

    /* Deepest existing ancestor: cut at the last '/' until what is left exists. */
    size_t start = 0;
    {
        std::string prefix = copy;
        for (;;) {
            const size_t cut = prefix.find_last_of('/');
            if (cut == std::string::npos)
                break;
            prefix.erase(cut);
            if (prefix.empty()) { /* the root */
                start = 1;
                break;
            }
            if (aDirectory_Exists(prefix.c_str())) {
                start = cut + 1;
                break;
            }
        }
    }

    aErr result = aErrNone;
    size_t pos = start;
    while (pos < copy.size()) {
        while (pos < copy.size() && copy[pos] == '/')
            pos++;
        if (pos >= copy.size())
            break;
        size_t end = copy.find('/', pos);
        if (end == std::string::npos)
            break; /* the last component is path itself, made below */
        const std::string partial = copy.substr(0, end);
        if (!aDirectory_Exists(partial.c_str()) && !sMake(partial.c_str(), mode)) {
            result = aErrPermission;
            break;
        }
        pos = end + 1;
    }

    if (!aDirectory_Exists(path) && !sMake(path, mode))
        return aErrPermission;
    return result;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref)
{
    if (path == NULL || callback == NULL)
        return aErrParam;
    DIR* dir = opendir(path);
    if (dir == NULL)
        return aErrNotFound;

    std::string full;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        full.assign(path);
        if (full.empty() || full.back() != '/')
            full.push_back('/');
        full.append(entry->d_name);
        struct stat st;
        if (stat(full.c_str(), &st) != 0)
            continue;
        aDirectoryListData data;
        data.path = full.c_str();
        data.size = static_cast<uint64_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode);
        if (!callback(&data, ref))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (path == NULL)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

/* Empties a directory depth first. False when the walk had to stop. Links are
 * removed, never followed, so nothing outside the tree is touched. */
static bool sEmpty(const std::string& path, bool* opened)
{
    DIR* dir = opendir(path.c_str());
    if (opened)
        *opened = dir != NULL;
    if (dir == NULL)
        return true;

    /* Names first, so removing entries does not disturb the open listing. */
    std::vector<std::string> names;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);

    for (const std::string& name : names) {
        const std::string child = path + (path.back() == '/' ? "" : "/") + name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!sEmpty(child, NULL))
                return false;
            rmdir(child.c_str());
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
            return false;
        }
    }
    return true;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (path == NULL || path[0] == '\0')
        return aErrParam;
    bool opened = false;
    sEmpty(path, &opened);
    if (!opened)
        return aErrNotFound;
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (buffer == NULL || size == 0)
        return aErrParam;
    if (getcwd(buffer, size) == NULL) {
        buffer[0] = '\0';
        return aErrParam;
    }
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (buffer == NULL || size == 0)
        return aErrParam;
    const ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (buffer == NULL || size == 0)
        return aErrParam;

    const char* home = NULL;
    struct passwd entry;
    struct passwd* found = NULL;
    std::vector<char> scratch(16384);
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found != NULL &&
        found->pw_dir != NULL)
        home = found->pw_dir;
    else
        home = getenv("HOME");

    if (home == NULL) {
        buffer[0] = '\0';
        return aErrNotFound;
    }
    /* Always terminated; a cut name would point somewhere else, so report it. */
    const size_t length = strlen(home);
    if (length >= size) {
        buffer[0] = '\0';
        return aErrOverrun;
    }
    memcpy(buffer, home, length + 1);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* directory, const char* name)
{
    return aDirectory_BuildPath(buffer, size, directory, name, (const char*)NULL);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    if (buffer == NULL || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    if (first == NULL || first == buffer)
        return aErrParam;

    const char* parts[sMAX_COMPONENTS];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    for (;;) {
        const char* part = va_arg(args, const char*);
        if (part == NULL)
            break;
        if (count == sMAX_COMPONENTS || part == buffer) {
            va_end(args);
            return aErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    size_t length = strlen(first);
    if (length >= size - 1)
        return aErrOverrun;
    memcpy(buffer, first, length + 1);

    for (size_t i = 1; i < count; i++) {
        const char* part = parts[i];
        const bool endsWithSeparator = length > 0 && buffer[length - 1] == '/';
        /* Exactly one separator between components. */
        if (endsWithSeparator)
            while (*part == '/')
                part++;
        /* An empty start stays relative. */
        if (length > 0 && !endsWithSeparator && *part != '/' && size - length >= 2) {
            buffer[length++] = '/';
            buffer[length] = '\0';
        }
        const size_t room = size - length - 1;
        const size_t partLength = strlen(part);
        if (partLength >= room && partLength > 0) {
            buffer[0] = '\0';
            return aErrOverrun;
        }
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}
