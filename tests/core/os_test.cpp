// Files, directories, paths, mutexes, threads and the clock.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TempDir.h"
#include "Process.h"
#include "aDirectory.h"
#include "aFile.h"
#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

bool IsDir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A file handle closed at scope end.
struct FileHolder {
    aFile* f;
    explicit FileHolder(aFile* file) : f(file) {}
    ~FileHolder() { if (f) (void)aFile_Close(&f); /* teardown helper: a close that fails has nothing left to tell */ }
};

} // namespace

// ---------------------------------------------------------------- paths

TEST(BuildPath, ExactlyOneSeparatorBetweenComponents)
{
    char buf[64];
    for (auto [a, b] : {std::pair{"dir", "name"}, {"dir/", "name"}, {"dir", "/name"}, {"dir/", "/name"}}) {
        ASSERT_EQ(aDirectory_BuildPath(buf, sizeof buf, a, b, nullptr), aErrNone) << a << "+" << b;
        EXPECT_STREQ(buf, "dir/name") << a << "+" << b;
    }
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "/", "a", "b/", "c", nullptr), aErrNone);
    EXPECT_STREQ(buf, "/a/b/c");
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "/home/u", ".velorn"), aErrNone);
    EXPECT_STREQ(buf, "/home/u/.velorn");
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "only", nullptr), aErrNone);
    EXPECT_STREQ(buf, "only");
    // A relative start stays relative.
    EXPECT_EQ(aDirectory_JoinPath(buf, sizeof buf, "", "file"), aErrNone);
    EXPECT_STREQ(buf, "file");
}

TEST(BuildPath, ComponentCountAndBufferLimits)
{
    char buf[64];
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                   nullptr), aErrNone);
    EXPECT_STREQ(buf, "1/2/3/4/5/6/7/8/9/10");
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                   "11", nullptr), aErrParam);
    EXPECT_STREQ(buf, "");

    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, buf, "x", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buf, sizeof buf, "x", buf, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "x", nullptr), aErrParam);

    char small[8];
    EXPECT_EQ(aDirectory_BuildPath(small, sizeof small, "abcdef", nullptr), aErrNone);
    EXPECT_EQ(aDirectory_BuildPath(small, sizeof small, "abcdefg", nullptr), aErrOverrun);
    EXPECT_EQ(aDirectory_BuildPath(small, sizeof small, "abc", "de", nullptr), aErrNone);
    EXPECT_STREQ(small, "abc/de");
    EXPECT_EQ(aDirectory_BuildPath(small, sizeof small, "abc", "def", nullptr), aErrOverrun);
    // Whatever happened, the buffer is a terminated string within its size.
    EXPECT_LT(strnlen(small, sizeof small), sizeof small);
}

// ---------------------------------------------------------------- directories

TEST(DirectoryEnsure, ExistingAndPartlyExistingTrees)
{
    TempDir tmp;
    EXPECT_EQ(aDirectory_Ensure(tmp.path().c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists(tmp.path().c_str()));

    const std::string deep = tmp / "one/two/three";
    ASSERT_EQ(mkdir((tmp / "one").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
    EXPECT_TRUE(IsDir(tmp / "one/two"));
    EXPECT_TRUE(IsDir(deep));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);

    // Doubled separators and a trailing one.
    EXPECT_EQ(aDirectory_Ensure((tmp / "a//b///c/").c_str(), 0700), aErrNone);
    EXPECT_TRUE(IsDir(tmp / "a/b/c"));
    struct stat st;
    ASSERT_EQ(stat((tmp / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_FALSE(aDirectory_Exists(nullptr));
    EXPECT_FALSE(aDirectory_Exists((tmp / "missing").c_str()));
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(DirectoryEnsure, FileInTheWayIsAFailure)
{
    TempDir tmp;
    WriteFile(tmp / "plain", "data");
    EXPECT_EQ(aDirectory_Ensure((tmp / "plain").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((tmp / "plain/below").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((tmp / "plain/below/deeper").c_str(), 0755), aErrPermission);
    EXPECT_EQ(ReadFile(tmp / "plain"), "data");
}

TEST(DirectoryEnsure, ConcurrentMakersAllSucceed)
{
    for (int round = 0; round < 20; ++round) {
        TempDir tmp;
        const std::string deep = tmp / "x/y/z/w";
        std::atomic<int> ready{0};
        std::vector<aErr> results(6, aErrUnknown);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] {
                ready++;
                while (ready.load() < static_cast<int>(results.size())) {
                }
                results[i] = aDirectory_Ensure(deep.c_str(), 0755);
            });
        for (auto& t : threads)
            t.join();
        for (aErr r : results)
            ASSERT_EQ(r, aErrNone) << "round " << round;
        ASSERT_TRUE(IsDir(deep));
    }
}

TEST(DirectoryList, EntriesAndEarlyStop)
{
    TempDir tmp;
    WriteFile(tmp / "f1", "12345");
    ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);

    struct Seen {
        std::vector<std::string> names;
        std::vector<uint64_t> sizes;
        std::vector<bool> dirs;
        size_t stopAfter = 1000;
    };
    auto collect = [](const aDirectoryListData* d, void* ref) {
        auto* s = static_cast<Seen*>(ref);
        s->names.push_back(d->path);
        s->sizes.push_back(d->size);
        s->dirs.push_back(d->isDirectory);
        return s->names.size() < s->stopAfter;
    };

    Seen all;
    ASSERT_EQ(aDirectory_List(tmp.path().c_str(), collect, &all), aErrNone);
    ASSERT_EQ(all.names.size(), 4u);
    bool sawFile = false, sawSub = false, sawDot = false, sawDotDot = false;
    for (size_t i = 0; i < all.names.size(); ++i) {
        if (all.names[i] == tmp / "f1") {
            sawFile = true;
            EXPECT_EQ(all.sizes[i], 5u);
            EXPECT_FALSE(all.dirs[i]);
        } else if (all.names[i] == tmp / "sub") {
            sawSub = true;
            EXPECT_TRUE(all.dirs[i]);
        } else if (all.names[i] == tmp / ".") {
            sawDot = true;
        } else if (all.names[i] == tmp / "..") {
            sawDotDot = true;
        }
    }
    EXPECT_TRUE(sawFile && sawSub && sawDot && sawDotDot);

    Seen first;
    first.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(tmp.path().c_str(), collect, &first), aErrNone);
    EXPECT_EQ(first.names.size(), 1u);

    Seen none;
    EXPECT_EQ(aDirectory_List((tmp / "missing").c_str(), collect, &none), aErrNotFound);
    EXPECT_TRUE(none.names.empty());
}

TEST(DirectoryDelete, EmptyTreesAndLinksOut)
{
    TempDir tmp;
    ASSERT_EQ(aDirectory_Ensure((tmp / "tree/a/b").c_str(), 0755), aErrNone);
    ASSERT_EQ(aDirectory_Ensure((tmp / "tree/c").c_str(), 0755), aErrNone);
    WriteFile(tmp / "tree/top.txt", "t");
    WriteFile(tmp / "tree/a/b/leaf.txt", "l");

    // A link inside the tree to a directory outside it: the link goes, the target stays.
    ASSERT_EQ(aDirectory_Ensure((tmp / "outside").c_str(), 0755), aErrNone);
    WriteFile(tmp / "outside/keep.txt", "keep");
    ASSERT_EQ(symlink((tmp / "outside").c_str(), (tmp / "tree/c/link").c_str()), 0);

    EXPECT_EQ(aDirectory_Delete((tmp / "tree").c_str()), aErrUnknown);
    EXPECT_TRUE(IsDir(tmp / "tree"));

    EXPECT_EQ(aDirectory_DeleteTree((tmp / "tree").c_str()), aErrNone);
    EXPECT_FALSE(Exists(tmp / "tree"));
    EXPECT_EQ(ReadFile(tmp / "outside/keep.txt"), "keep");

    EXPECT_EQ(aDirectory_DeleteTree((tmp / "tree").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_Delete((tmp / "outside/keep.txt").c_str()), aErrUnknown);
    ASSERT_EQ(mkdir((tmp / "empty").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Delete((tmp / "empty").c_str()), aErrNone);
    EXPECT_FALSE(Exists(tmp / "empty"));
}

TEST(DirectoryQueries, ExecutableWorkingAndHomeDirectories)
{
    char expected[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    char buf[PATH_MAX];
    EXPECT_EQ(aDirectory_ExecutableFilePath(buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, expected);
    char small[5];
    EXPECT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
    EXPECT_EQ(std::string(small), std::string(expected).substr(0, 4));

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(aDirectory_CWD(buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, cwd);
    EXPECT_EQ(aDirectory_CWD(buf, 2), aErrParam);

    EXPECT_EQ(aDirectory_GetHomeDirectory(buf, sizeof buf), aErrNone);
    EXPECT_GT(strlen(buf), 0u);
    // A name that does not fit is reported rather than cut.
    char tiny[2] = {'x', 'x'};
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
    EXPECT_EQ(tiny[0], '\0');
}

// ---------------------------------------------------------------- files

TEST(FileOpen, ModesAndRefusals)
{
    TempDir tmp;
    const std::string path = tmp / "f.bin";
    EXPECT_EQ(aFile_Open(path.c_str(), 3), nullptr);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Open((tmp / "no/such/dir").c_str(), aFileModeWriteOnly), nullptr);

    const std::string longPath = tmp.path() + "/" + std::string(aFILE_MAX_PATH, 'x');
    EXPECT_EQ(aFile_Open(longPath.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));
    EXPECT_FALSE(aFile_Exists(tmp.path().c_str()));
    // A directory is no file, whatever the mode.
    EXPECT_EQ(aFile_Open(tmp.path().c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(tmp.path().c_str(), aFileModeAppend), nullptr);
    EXPECT_FALSE(aFile_Exists(nullptr));

    {
        FileHolder w(aFile_Open(path.c_str(), aFileModeWriteOnly));
        ASSERT_NE(w.f, nullptr);
        size_t n = 0;
        EXPECT_EQ(aFile_Write(w.f, "hello", 5, &n), aErrNone);
        EXPECT_EQ(n, 5u);
        char c;
        EXPECT_EQ(aFile_Read(w.f, &c, 1, &n), aErrMode);
        EXPECT_EQ(aFile_ReadLine(w.f, &c, 1, &n), aErrMode);
    }
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_EQ(ReadFile(path), "hello");

    {
        FileHolder r(aFile_Open(path.c_str(), aFileModeReadOnly));
        ASSERT_NE(r.f, nullptr);
        EXPECT_EQ(aFile_Write(r.f, "x", 1, nullptr), aErrMode);
        EXPECT_EQ(aFile_Printf(r.f, "%d", 1), aErrMode);
        EXPECT_EQ(aFile_SetUnbuffered(r.f), aErrMode);
        char buf[16];
        size_t n = 0;
        EXPECT_EQ(aFile_Read(r.f, buf, sizeof buf, &n), aErrNone);
        EXPECT_EQ(std::string(buf, n), "hello");
        EXPECT_EQ(aFile_Read(r.f, buf, sizeof buf, &n), aErrEOF);
        EXPECT_EQ(n, 0u);
    }

    // Write mode truncates.
    {
        FileHolder w(aFile_Open(path.c_str(), aFileModeWriteOnly));
        ASSERT_NE(w.f, nullptr);
        EXPECT_EQ(aFile_Printf(w.f, "%s=%d\n", "key", 42), aErrNone);
    }
    EXPECT_EQ(ReadFile(path), "key=42\n");
}

TEST(FileOpen, AppendReadsAndWritesAtTheEnd)
{
    TempDir tmp;
    const std::string path = tmp / "log";
    WriteFile(path, "first\n");
    FileHolder a(aFile_Open(path.c_str(), aFileModeAppend));
    ASSERT_NE(a.f, nullptr);
    EXPECT_EQ(aFile_Write(a.f, "second\n", 7, nullptr), aErrNone);
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(a.f, &size), aErrNone);
    EXPECT_EQ(size, 13u);

    // Reading straight after writing, on the same handle.
    ASSERT_EQ(aFile_Seek(a.f, 0, 0), aErrNone);
    char line[32];
    size_t n = 0;
    EXPECT_EQ(aFile_ReadLine(a.f, line, sizeof line, &n), aErrNone);
    EXPECT_STREQ(line, "first\n");
    EXPECT_EQ(aFile_Write(a.f, "third\n", 6, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&a.f), aErrNone);
    EXPECT_EQ(ReadFile(path), "first\nsecond\nthird\n");
}

TEST(FileHandles, CloseNullsAndStaleHandlesAreRefused)
{
    TempDir tmp;
    aFile* f = aFile_Open((tmp / "x").c_str(), aFileModeWriteOnly);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    uint64_t size;
    EXPECT_EQ(aFile_Write(nullptr, "x", 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Read(nullptr, &size, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &size), aErrParam);
}

TEST(FileReadLine, SmallBuffersAndLineEnds)
{
    TempDir tmp;
    const std::string path = tmp / "lines";
    WriteFile(path, "abcdefgh\nxyz\n\nlast");
    FileHolder r(aFile_Open(path.c_str(), aFileModeReadOnly));
    ASSERT_NE(r.f, nullptr);

    char buf[5];
    size_t n = 99;
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrOverrun);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(n, 4u);
    // Four characters still fill the buffer before the newline.
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrOverrun);
    EXPECT_STREQ(buf, "efgh");
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "\n");

    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "xyz\n");
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "\n");
    EXPECT_EQ(n, 1u);
    // A last line without a newline that exactly fills the buffer is whole.
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrEOF);

    EXPECT_EQ(aFile_ReadLine(r.f, nullptr, 5, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(r.f, buf, 0, &n), aErrParam);
}

TEST(FileReadLine, LastLineWithoutNewline)
{
    TempDir tmp;
    WriteFile(tmp / "f", "a=1\nb");
    FileHolder r(aFile_Open((tmp / "f").c_str(), aFileModeReadOnly));
    ASSERT_NE(r.f, nullptr);
    char buf[64];
    size_t n = 0;
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "a=1\n");
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, &n), aErrNone);
    EXPECT_STREQ(buf, "b");
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(aFile_ReadLine(r.f, buf, sizeof buf, nullptr), aErrEOF);
}

TEST(FileSeek, BoundsLeaveThePositionUnchanged)
{
    TempDir tmp;
    WriteFile(tmp / "f", "0123456789");
    FileHolder r(aFile_Open((tmp / "f").c_str(), aFileModeReadOnly));
    ASSERT_NE(r.f, nullptr);
    uint64_t size = 0;
    ASSERT_EQ(aFile_GetSize(r.f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetSize(r.f, nullptr), aErrParam);

    auto next = [&] {
        char c = 0;
        size_t n = 0;
        aErr e = aFile_Read(r.f, &c, 1, &n);
        return e == aErrNone ? c : '!';
    };

    ASSERT_EQ(aFile_Seek(r.f, 3, 0), aErrNone);
    EXPECT_EQ(aFile_Seek(r.f, 11, 0), aErrRange);
    EXPECT_EQ(next(), '3');
    EXPECT_EQ(aFile_Seek(r.f, -5, 1), aErrRange);  // position 4 - 5
    EXPECT_EQ(next(), '4');
    EXPECT_EQ(aFile_Seek(r.f, 1, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(r.f, -11, 2), aErrRange);
    EXPECT_EQ(aFile_Seek(r.f, INT64_MIN, 1), aErrRange);
    EXPECT_EQ(aFile_Seek(r.f, INT64_MAX, 1), aErrRange);
    EXPECT_EQ(next(), '5');

    EXPECT_EQ(aFile_Seek(r.f, 2, 1), aErrNone);
    EXPECT_EQ(next(), '8');
    EXPECT_EQ(aFile_Seek(r.f, -10, 2), aErrNone);
    EXPECT_EQ(next(), '0');
    EXPECT_EQ(aFile_Seek(r.f, 10, 0), aErrNone);
    EXPECT_EQ(next(), '!');
    // The size itself is a valid target; the position after reading is kept.
    EXPECT_EQ(aFile_Seek(r.f, 0, 2), aErrNone);
    ASSERT_EQ(aFile_GetSize(r.f, &size), aErrNone);
    EXPECT_EQ(next(), '!');
}

TEST(FileWrite, SizeCountsBufferedOutputAndUnbufferedIsVisible)
{
    TempDir tmp;
    const std::string path = tmp / "out";
    FileHolder w(aFile_Open(path.c_str(), aFileModeWriteOnly));
    ASSERT_NE(w.f, nullptr);
    EXPECT_EQ(aFile_Write(w.f, "abc", 3, nullptr), aErrNone);
    uint64_t size = 0;
    EXPECT_EQ(aFile_GetSize(w.f, &size), aErrNone);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(aFile_Write(w.f, "de", 2, nullptr), aErrNone);
    EXPECT_EQ(aFile_GetSize(w.f, &size), aErrNone);
    EXPECT_EQ(size, 5u);

    EXPECT_EQ(aFile_SetUnbuffered(w.f), aErrNone);
    EXPECT_EQ(aFile_Printf(w.f, "[%03d]", 7), aErrNone);
    EXPECT_EQ(ReadFile(path), "abcde[007]");
    EXPECT_EQ(aFile_Write(w.f, "", 0, nullptr), aErrNone);
}

// ---------------------------------------------------------------- mutexes

TEST(Mutex, DestroyWhileHeldByAnotherThread)
{
    aMutex* m = aMutex_Create(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(aMutex_Identifier(m), "");
    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        EXPECT_EQ(aErrNone, aMutex_Lock(m));
        locked = true;
        while (!release)
            std::this_thread::yield();
        EXPECT_EQ(aErrNone, aMutex_Unlock(m));
    });
    while (!locked)
        std::this_thread::yield();
    EXPECT_EQ(aMutex_Destroy(&m), aErrBusy);
    EXPECT_NE(m, nullptr);
    release = true;
    holder.join();
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

TEST(Mutex, NameLengthLimit)
{
    const std::string longest(255, 'n');
    aMutex* m = aMutex_Create(longest.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), longest);
    EXPECT_EQ(aErrNone, aMutex_Destroy(&m));
    EXPECT_EQ(aMutex_Create(std::string(256, 'n').c_str()), nullptr);
}

TEST(Mutex, SerialisesThreads)
{
    aMutex* m = aMutex_Create("counter");
    ASSERT_NE(m, nullptr);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ASSERT_EQ(aMutex_Lock(m), aErrNone);
                long v = counter;
                counter = v + 1;
                ASSERT_EQ(aMutex_Unlock(m), aErrNone);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

// ---------------------------------------------------------------- threads and time

namespace {
struct Work {
    std::atomic<bool> started{false};
    std::atomic<bool> go{false};
    std::atomic<int> result{0};
};
void* RunWork(void* arg)
{
    auto* w = static_cast<Work*>(arg);
    w->started = true;
    while (!w->go)
        aThread_Yield();
    aTime_MSSleep(50);
    w->result = 42;
    return nullptr;
}
} // namespace

TEST(Thread, DestroyWaitsForTheThread)
{
    Work work;
    aThread* t = aThread_Create(RunWork, &work);
    ASSERT_NE(t, nullptr);
    while (!work.started)
        aThread_Yield();
    EXPECT_EQ(work.result.load(), 0);
    work.go = true;
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(work.result.load(), 42);       // joined, so the work is done
    EXPECT_NE(aThread_Destroy(&t), 0);
    EXPECT_NE(aThread_Destroy(nullptr), 0);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(Thread, ManyThreadsJoin)
{
    std::atomic<int> count{0};
    std::vector<aThread*> threads;
    for (int i = 0; i < 16; ++i) {
        aThread* t = aThread_Create([](void* arg) -> void* {
            static_cast<std::atomic<int>*>(arg)->fetch_add(1);
            return nullptr;
        }, &count);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    for (aThread*& t : threads)
        EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(count.load(), 16);
}

namespace {
void OnAlarm(int) {}
} // namespace

TEST(Time, ClockAndSleeps)
{
    const uint64_t wall = static_cast<uint64_t>(time(nullptr)) * 1000;
    const uint64_t ticks = aTime_GetMSTicks();
    EXPECT_GE(ticks + 2000, wall);
    EXPECT_LE(ticks, wall + 2000);

    // Sleeps last at least what was asked, across the one-second steps.
    uint64_t before = aTime_GetMSTicks();
    aTime_MSSleep(2500);
    EXPECT_GE(aTime_GetMSTicks() - before, 2500u);
}

TEST(Time, SignalDoesNotCutASleepShort)
{
    struct sigaction action = {}, old = {};
    action.sa_handler = OnAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no restart: the sleep sees EINTR
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer = {};
    timer.it_value.tv_usec = 100000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const uint64_t before = aTime_GetMSTicks();
    aTime_MSSleep(400);
    const uint64_t slept = aTime_GetMSTicks() - before;

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(slept, 400u);
}
