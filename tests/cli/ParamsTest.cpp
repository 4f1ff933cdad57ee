// The option parser in-process: record fields no command can show yet, the
// argument converters, and a fuzz run over random command lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterMain.h"

namespace {

// Standard output and error sent to /dev/null while alive.
class Silence {
public:
    Silence() {
        std::fflush(nullptr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence() {
        std::fflush(nullptr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
    }

private:
    int saved_out_;
    int saved_err_;
};

struct Parsed {
    int result;
    Parameters params;
};

Parsed Parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    CLI_Display display;
    Parsed p;
    {
        Silence quiet;
        p.result = _get_params(display, static_cast<int>(words.size()), argv.data(), &p.params);
    }
    Log::DeactivatePackage(0xFFFFFFFFu);
    return p;
}

// What _find_log_file makes of the same words.
bool FindLogFile(std::vector<std::string> words, std::string& path) {
    words.insert(words.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return _find_log_file(static_cast<int>(words.size()), argv.data(), path);
}

const std::string kHttp = std::string("http://") + UPDATER_SERVER_HOST + "/cgi/u";
const std::string kHttps = std::string("https://") + UPDATER_SERVER_HOST + "/cgi/u";

} // namespace

TEST(Params, NameAndDefaultServer) {
    Parsed p = Parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.app_name, "Updater");
    EXPECT_EQ(p.params.server_url, kHttp);
    EXPECT_FALSE(p.params.home_directory.empty());
}

TEST(Params, OverrideSpellings) {
    for (const char* word : {"-OVERRIDE", "-OVER", "-OVERRID", "-O"}) {
        Parsed p = Parse({word});
        EXPECT_EQ(p.result, 0) << word;
        EXPECT_TRUE(p.params.override) << word;
    }
    for (const char* word : {"-OVERRIDEX", "-OVERRIDE=1", "-override", "-OVR", "--OVERRIDE"}) {
        Parsed p = Parse({word});
        EXPECT_EQ(p.result, 0) << word;
        EXPECT_FALSE(p.params.override) << word;
    }
}

TEST(Params, ServerUrlChoices) {
    EXPECT_EQ(Parse({"--https"}).params.server_url, kHttps);
    EXPECT_EQ(Parse({"--http"}).params.server_url, kHttp);
    EXPECT_EQ(Parse({"--https", "--htt"}).params.server_url, kHttps);
    Parsed p = Parse({"-u", "127.0.0.1:8080"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.server_url, "127.0.0.1:8080");
    EXPECT_EQ(Parse({"-u=http://127.0.0.1:1/cgi/u"}).params.server_url, "http://127.0.0.1:1/cgi/u");
    EXPECT_EQ(Parse({"-u", "a", "-u", "b"}).result, 1);
}

TEST(Params, ValuesOfEveryParameter) {
    Parsed p = Parse({"-t", "TCPIP", "-s", "/dev/ttyS0", "-o", "9600", "-f", "fw.bird", "-l", "note", "-k", "u.log",
                      "-e", "-n", "-m", "false", "-r", "0xd272031d", "-i", "/tmp/store", "-b", "42", "-d", "7"});
    ASSERT_EQ(p.result, 0);
    const Parameters& r = p.params;
    EXPECT_EQ(r.transport, 2);
    EXPECT_TRUE(r.transport_given);
    EXPECT_EQ(r.serial_port, "/dev/ttyS0");
    EXPECT_EQ(r.baud_rate, 9600u);
    EXPECT_EQ(r.bird_file, "fw.bird");
    EXPECT_EQ(r.log_message, "note");
    EXPECT_EQ(r.log_file, "u.log");
    EXPECT_TRUE(r.echo);
    EXPECT_TRUE(r.option_n);
    EXPECT_FALSE(r.uei_bytes_load);
    EXPECT_EQ(r.router_serial_number, 0xD272031Du);
    EXPECT_EQ(r.store_directory, "/tmp/store");
    EXPECT_EQ(r.build, "42");
    EXPECT_EQ(r.serial_number, 7u);

    EXPECT_EQ(Parse({"-t", "RECOVER"}).params.transport, 0xFF);
    EXPECT_EQ(Parse({"-t", "USBX"}).params.transport, 1);
    Parsed bad = Parse({"-t", "tcp"});
    EXPECT_EQ(bad.result, 1);
    EXPECT_EQ(bad.params.transport, 0);
    EXPECT_EQ(Parse({"-o", "fast"}).params.baud_rate, 0u);
    EXPECT_TRUE(Parse({"-m", "1"}).params.uei_bytes_load);
    EXPECT_TRUE(Parse({"-m", "trueish"}).params.uei_bytes_load);
    EXPECT_FALSE(Parse({"-m", "yes"}).params.uei_bytes_load);
    Parsed x = Parse({"-X", "0X10"});
    EXPECT_TRUE(x.params.debug_mask_given);
    EXPECT_EQ(x.params.debug_mask, 0x10u);
    EXPECT_EQ(Parse({"-X", "65536"}).params.debug_mask, 0x10000u);
    // Commands by their bits; -Z takes (and ignores) an argument.
    EXPECT_EQ(Parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "z"}).params.commands.Bits(), 0x3FFu);
    EXPECT_EQ(Parse({"--https", "-D", "-h", "-Y"}).params.commands.Bits(), 0x80000001u);
}

TEST(Params, ArgumentConverters) {
    char* end = nullptr;
    const char* text = "40F5849a";
    EXPECT_EQ(_get_hex_arg(text, &end), 0x40F5849Au);
    EXPECT_EQ(end, text + 8);
    EXPECT_EQ(_get_hex_arg(text, nullptr), 0u);
    char* untouched = reinterpret_cast<char*>(&end);
    end = untouched;
    EXPECT_EQ(_get_hex_arg("12G", &end), 0u);
    EXPECT_EQ(end, untouched);
    EXPECT_EQ(_get_hex_arg("0x12", &end), 0u); // 'x' is not a digit
    EXPECT_EQ(_get_hex_arg("", &end), 0u);
    EXPECT_EQ(_get_hex_arg("140F5849A", &end), 0x40F5849Au); // cut to 32 bits
    EXPECT_EQ(_get_int_arg("99528558", &end), 99528558u);
    EXPECT_EQ(_get_int_arg("12x", &end), 0u);
    EXPECT_EQ(_get_int_arg("-5", &end), 0u);
    EXPECT_EQ(_get_int_arg(" 5", &end), 0u);
}

// Random command lines drawn from option texts, prefixes, "=" forms and junk.
TEST(ParamsFuzz, RandomCommandLinesNeverCrash) {
    const std::vector<std::string> options = {
        "-B", "-L", "-D", "-G", "-I", "-U", "-OVERRIDE", "-N", "-Y", "-C", "-J", "-h", "-H", "-n", "-X", "-Z",
        "-m", "-i", "-b", "-d", "-t", "-f", "-r", "-s", "-o", "-e", "-l", "-k", "-u", "--help", "--http", "--https"};
    const std::vector<std::string> values = {
        "0x40F5849A", "40f5849a", "0", "0x", "0X", "12x", "USB", "TCPIP", "RECOVER", "usb", "0x10000", "1",
        "true", "", "=", "-", "--", "ffffffffffffffffffff", "99999999999999999999999", "%s%n%x", "\\", "a=b=c",
        std::string(3000, 'A'), std::string(5000, '%')};
    std::mt19937 rng(20260526u);
    auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };

    int accepted = 0, refused = 0, bad_results = 0, log_files = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> words;
        const int count = static_cast<int>(rng() % 12);
        for (int i = 0; i < count; ++i) {
            std::string option = pick(options);
            switch (rng() % 7) {
            case 0: words.push_back(option.substr(0, 1 + rng() % option.size())); break; // a prefix
            case 1: words.push_back(option + "=" + pick(values)); break;
            case 2: words.push_back(pick(values)); break;
            case 3: { // random bytes
                std::string junk(1 + rng() % 8, ' ');
                for (char& c : junk) c = static_cast<char>(1 + rng() % 255);
                if (rng() % 2) junk[0] = '-';
                words.push_back(junk);
                break;
            }
            default:
                words.push_back(option);
                if (rng() % 2) words.push_back(pick(values));
            }
        }
        Parsed p = Parse(words);
        if (p.result == 0) ++accepted;
        else if (p.result == 1) ++refused;
        else ++bad_results;
        // Help stops the reading, so it is never refused.
        if (p.params.help && p.result != 0) ++bad_results;
        // The log file opened before parsing is the one the parse records.
        std::string log_path = Parameters{}.log_file;
        if (FindLogFile(words, log_path)) ++log_files;
        if (log_path != p.params.log_file) ++bad_results;
    }
    EXPECT_EQ(bad_results, 0);
    EXPECT_GT(log_files, 100);
    // Both outcomes occur, so the run explored more than one path.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 100);
}
