#include "Updater.h"

#include "UpdaterStore.h"

Updater::Updater(const char* server_url_text, const char* store_directory_text,
                 UpdaterDisplayInterface& display_interface)
    : server_url(server_url_text ? server_url_text : ""),
      store_directory(store_directory_text ? store_directory_text : ""),
      display(display_interface) {}


void _explain_usb_access(UpdaterDisplayInterface& display, const Updater& updater) {
    if (!updater.Get_UsbAccessDenied()) return;
    display.message(UpdaterDisplayInterface::Error,
                    "Permission denied on a Tarnix USB device: install the udev rule 60-tarnix.rules "
                    "(lib/udev/rules.d) or run Updater as root.");
}

// ---- Store creation shared by the operations -------------------------------

ResultOf<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& store_directory,
                                           const char* caller) {
    ResultOf<UpdaterStore> store = UpdaterStore::Open(store_directory);
    if (!store.ok())
        display.message(UpdaterDisplayInterface::Error, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller ? caller : "", store.message().c_str());
    return store;
}
