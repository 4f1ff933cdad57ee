// A command-line SDP client for tests that must run it in another process
// (under the umockdev preload): reads the fingerprint, optionally writes a
// file and jumps to it.
//   sdp_probe usb|PORT [FILE ADDRESS]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "SDPLoader.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) return 2;
    const std::string port = argv[1];
    SDPLoader loader;
    if (port == "usb") loader.setLoader(new HID_SDPLoader(HID_SDPLoader::kRomVendor, HID_SDPLoader::kRomProduct));
    else loader.setLoader(new Serial_SDPLoader(argv[1]));
    int result = loader.init();
    std::printf("init %d\n", result);
    if (result != 0) return 1;
    unsigned long fingerprint = 0;
    result = loader.getFingerprint(fingerprint);
    std::printf("fingerprint %d %016lX\n", result, fingerprint);
    if (result != 0 || argc == 2) return result == 0 ? 0 : 1;
    std::ifstream in(argv[2], std::ios::binary);
    byte_vector image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned address = (unsigned)std::strtoul(argv[3], nullptr, 0);
    result = loader.writeLoader(image, address);
    std::printf("write %d\n", result);
    if (result != 0) return 1;
    loader.startLoader(address);
    return 0;
}
