// Build listing, device token and firmware download: the Updater operations
// that talk to the update server or list the local store for one device.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "BirdFile.h"
#include "BirdStreamCheck.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "PrintableText.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

constexpr auto kSpinnerStep = std::chrono::milliseconds(100);

// Whole text as an unsigned 32-bit decimal number.
bool ParseBuild(const std::string& text, unsigned& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || number > 0xFFFFFFFFull) return false;
    value = static_cast<unsigned>(number);
    return true;
}

// The text without blanks, tabs or line ends around it.
std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A build text from the server or the store as a number; logs and gives 0 when it is none.
// Blanks around the number (a server's "2002 ") do not matter.
unsigned BuildNumberOf(const std::string& text) {
    unsigned value = 0;
    if (!ParseBuild(Trimmed(text), value)) {
        Log::log(Log::DEBUG_Updater, "Error: Could not convert %s to int.\n", PrintableText(text).c_str());
        return 0;
    }
    return value;
}

// The build an info block's first field names: up to a NUL, blanks trimmed.
std::string InfoBuildText(const std::string& field) {
    return Trimmed(std::string(field.c_str(), strnlen(field.c_str(), field.size())));
}

// A build as it arrives: checked as a BIRD file and written to a temporary
// beside the stored one in the same pass; nothing of it is held in memory.
struct StreamedDownload {
    explicit StreamedDownload(std::unique_ptr<AtomicFileWriter> temporary)
        : check(HTTPLimits::Download().maxBodyBytes / 4 * 3 + 3), file(std::move(temporary)) {}
    void Take(const uint8_t* bytes, size_t length) {
        check.Feed(bytes, length);
        file->Write(bytes, length); // a failure is kept for the commit
    }
    BirdStreamCheck check;
    std::unique_ptr<AtomicFileWriter> file;
    bool received = false, wholeText = false;
};

// A download may replace a stored build only when it is a BIRD file that
// loads whole (header, zlib stream, block area) and, when its info block
// names a build, names the one asked for. Reports what is wrong.
bool _check_download(UpdaterDisplayInterface& display, StreamedDownload& download, unsigned build) {
    const std::string problem = download.check.Finish();
    if (!problem.empty()) {
        Log::log(Log::DEBUG_Updater, "Download_Firmware: the %llu bytes received are not a BIRD file that loads (%s)\n",
                 download.check.FileBytes(), problem.c_str());
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return false;
    }
    const std::string named = InfoBuildText(download.check.InfoBuildField());
    unsigned number = 0;
    if (!named.empty() && (!ParseBuild(named, number) || number != build)) {
        display.message(kError, "Downloaded BIRD file is build %s, not %u", PrintableText(named).c_str(), build);
        return false;
    }
    return true;
}

// The three short answers -G needs before the download. The questions go out
// side by side, on their own threads, as soon as the command starts; each
// answer is read where the command uses it, in the order it always has.
struct ServerAnswers {
    struct Query {
        bool ok = false;
        std::string newest, firmwareName;
    };
    struct Listing {
        bool ok = false;
        BuildList builds;
    };
    ServerAnswers(unsigned serial, const std::string& url, bool wantList)
        : ping(std::async(std::launch::async, [url] { return UpdateServerRequest::ping(url); })),
          query(std::async(std::launch::async, [serial, url] {
              Query answer;
              answer.ok = UpdateServerRequest::QueryBuild(serial, answer.newest, answer.firmwareName, url);
              return answer;
          })) {
        // -OVERRIDE never looks at the list: it is not asked for.
        if (wantList)
            list = std::async(std::launch::async, [serial, url] {
                Listing answer;
                answer.ok = UpdateServerRequest::GetBuildList(serial, answer.builds, url);
                return answer;
            });
    }
    std::future<bool> ping;
    std::future<Query> query;
    std::future<Listing> list;
};

// True when the server's list names the build.
bool _valid_build(ServerAnswers& answers, unsigned build) {
    const ServerAnswers::Listing listing = answers.list.get();
    if (!listing.ok) return false;
    for (const auto& entry : listing.builds)
        if (BuildNumberOf(entry.first) == build) return true;
    return false;
}

// The device's store entry, made when the store does not know it yet.
bool OpenDownloadEntry(UpdaterDisplayInterface& display, UpdaterStore& store, unsigned serial,
                       UpdaterStoreItem& device) {
    if (store.FindDevice(serial, &device)) return true;
    Log::log(Log::DEBUG_APP, "Could not find device in our update history.\n");
    auto added = store.AddDevice(serial);
    if (!added.ok()) {
        Log::log(Log::DEBUG_APP, "%s\n", added.message().c_str());
        display.message(kError, "Could not create directory for storing BIRD file");
        return false;
    }
    device = std::move(added).value();
    return true;
}

// The build to fetch: the one asked for, else the server's newest; checked
// against the server's list unless -OVERRIDE. 0 after saying why not.
unsigned ChooseDownloadBuild(UpdaterDisplayInterface& display, ServerAnswers& answers, unsigned wanted, bool override,
                             std::string& firmwareName) {
    ServerAnswers::Query query = answers.query.get();
    if (!query.ok) {
        display.message(kError, "No build information for device");
        return 0;
    }
    firmwareName = std::move(query.firmwareName);
    if (wanted == 0) wanted = BuildNumberOf(query.newest);
    // No build chosen and none named by the server: there is nothing to ask for.
    if (wanted == 0) {
        display.message(kError, "No build information for device");
        return 0;
    }
    display.message(kInfo, "Retrieving build %u", wanted);
    if (override) {
        display.message(kInfo, "Override specified, skipping validation of build %u", wanted);
        return wanted;
    }
    display.message(kInfo, "Validating build %u with server", wanted);
    if (!_valid_build(answers, wanted)) {
        display.message(kError, "No valid build %u", wanted);
        return 0;
    }
    display.message(kInfo, "Build %u is valid", wanted);
    return wanted;
}

// Receives the build into `download`. The request runs on its own thread so
// the console can show it is alive.
void FetchBuild(UpdaterDisplayInterface& display, unsigned serial, const std::string& firmwareName,
                const std::string& buildText, const std::string& server_url, bool no_cal,
                StreamedDownload& download) {
    std::promise<bool> result;
    std::future<bool> done = result.get_future();
    std::thread worker([&] {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuildStreamed(
                serial, firmwareName, buildText, [&](const uint8_t* bytes, size_t length) { download.Take(bytes, length); },
                download.wholeText, server_url, no_cal);
        } catch (...) {
            ok = false; // out of memory: a failed download
        }
        result.set_value(ok);
    });
    display.update_spinner(true, "Downloading");
    while (done.wait_for(kSpinnerStep) != std::future_status::ready) display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    download.received = done.get();
    worker.join();
    if (!download.received) display.message(kError, "Download failed");
}

// Checks the received file, puts it in place and records the download. False
// after saying why: a download that did not land whole is a failed one, and
// leaves the stored file as it was.
bool StoreDownload(UpdaterDisplayInterface& display, UpdaterStoreItem& device, StreamedDownload& download,
                   const std::string& fileName, unsigned build) {
    if (!download.received || !download.wholeText) {
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return false;
    }
    if (!_check_download(display, download, build)) return false;
    const std::string now = KeyValueStore::Now();
    const aErr written = device.CommitFile(fileName, *download.file);
    if (written != aErrNone) {
        display.message(kError, "Failed to write file with %d", static_cast<int>(written));
        return false;
    }
    device.settings.Add(STORE_KEY_LATEST_DOWNLOAD, fileName);
    device.settings.Add(STORE_KEY_LAST_DOWNLOAD_DATE, now);
    if (!device.settings.Save()) {
        display.message(kError, "Failed to save the download history in %s", device.settings.filename.c_str());
        return false;
    }
    return true;
}

} // namespace

BuildList Updater::Get_BuildList(unsigned serial) {
    BuildList list;
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(kError, "Server request failed for %s", server_url.c_str());
        return list;
    }
    if (!UpdateServerRequest::GetBuildList(serial, list, server_url))
        display.message(kError, "Failed to retrieve builds for %08X", serial);
    return list;
}

std::string Updater::Get_JWT(unsigned serial) {
    std::string token;
    if (!UpdateServerRequest::ping(server_url)) {
        display.message(kError, "Server request failed for %s", server_url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url))
        display.message(kError, "Failed to retrieve jwt for %08X", serial);
    return token;
}

BuildList Updater::Get_BuildListLocal(unsigned serial) {
    BuildList list;
    auto store = _createUpdaterStore(display, store_directory, "Get_BuildListLocal");
    if (!store.ok()) return list;

    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const auto& item : items) {
        const std::string key = item.name.substr(0, item.name.find(STORE_BIRD_EXTENSION));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                // A file that does not load lists with an empty version.
                const ResultOf<BirdFile> file = BirdFile::Open(path);
                if (file.ok()) version = file->GetVersion();
                if (!version.empty())
                    Log::log(Log::DEBUG_Updater, "%s: version [%s]\n", path.c_str(), PrintableText(version).c_str());
            } else {
                Log::log(Log::DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        list.emplace(key, version);
    }
    return list;
}

ResultOf<unsigned> Updater::Download_Firmware(unsigned serial, std::string build, bool override, bool no_cal) {
    unsigned wanted = 0;
    if (!build.empty() && !ParseBuild(build, wanted)) {
        display.message(kError, "Build number '%s' must be an number", build.c_str());
        return Result::Failure(aErrParam, "build number is not a number");
    }
    if (serial == 0) {
        display.message(kError, "Serial Number must be non-zero");
        return Result::Failure(aErrParam, "serial number is zero");
    }
    ServerAnswers answers(serial, server_url, !override);
    if (!answers.ping.get()) {
        display.message(kError, "Server request failed for %s", server_url.c_str());
        return Result::Failure(aErrConnection, "server does not answer");
    }
    auto store = _createUpdaterStore(display, store_directory, "Download_Firmware");
    if (!store.ok()) return store.result();
    UpdaterStoreItem device;
    if (!OpenDownloadEntry(display, *store, serial, device))
        return Result::Failure(aErrIO, "no store entry for the device");
    std::string firmwareName;
    wanted = ChooseDownloadBuild(display, answers, wanted, override, firmwareName);
    if (wanted == 0) return Result::Failure(aErrNotFound, "no build to download");
    const std::string fileName = std::to_string(wanted) + STORE_BIRD_EXTENSION;
    StreamedDownload download(device.StartFile(fileName));
    FetchBuild(display, serial, firmwareName, std::to_string(wanted), server_url, no_cal, download);
    if (!StoreDownload(display, device, download, fileName, wanted))
        return Result::Failure(aErrIO, "build " + std::to_string(wanted) + " not downloaded");
    return wanted;
}
