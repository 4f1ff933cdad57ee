/* Key files of the networked-link server and its clients. Files are opened
 * without following links and checked on the open descriptor, so what is
 * checked is what is read. */
#include "aShareKeys.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>

#include "aDirectory.h"

#define aSHARE_Z85_SIZE 40
#define aSHARE_MAX_FILE 4096

bool aShareKey::operator==(const aShareKey& other) const
{
    return memcmp(bytes, other.bytes, sizeof(bytes)) == 0;
}

bool aShareKey::operator<(const aShareKey& other) const
{
    return memcmp(bytes, other.bytes, sizeof(bytes)) < 0;
}

static std::atomic<bool> sInsecure{false};

void aShareKeys_SetInsecure(bool insecure)
{
    sInsecure = insecure;
}

bool aShareKeys_IsInsecure(void)
{
    return sInsecure.load();
}

std::string aShareKey::text() const
{
    char z85[aSHARE_Z85_SIZE + 1] = "";
    zmq_z85_encode(z85, bytes, sizeof(bytes));
    return z85;
}

static std::string sHomeOf(uint32_t uid)
{
    passwd entry;
    passwd* found = NULL;
    std::vector<char> scratch(16384);
    if (getpwuid_r((uid_t)uid, &entry, scratch.data(), scratch.size(), &found) == 0 && found != NULL &&
        found->pw_dir != NULL)
        return found->pw_dir;
    return "";
}

aErr aShareKeys_Directory(uint32_t uid, std::string* directory)
{
    if (directory == NULL)
        return aErrParam;
    directory->clear();
    if (uid == (uint32_t)geteuid()) {
        /* Relative values are to be ignored, as every XDG reader does. */
        const char* config = getenv("XDG_CONFIG_HOME");
        if (config != NULL && config[0] == '/') {
            *directory = std::string(config) + "/" aSHARE_KEYS_SUBDIR;
            return aErrNone;
        }
        char home[1024];
        if (aDirectory_GetHomeDirectory(home, sizeof(home)) != aErrNone)
            return aErrNotFound;
        *directory = std::string(home) + "/.config/" aSHARE_KEYS_SUBDIR;
        return aErrNone;
    }
    const std::string home = sHomeOf(uid);
    if (home.empty())
        return aErrNotFound;
    *directory = home + "/.config/" aSHARE_KEYS_SUBDIR;
    return aErrNone;
}

static void sSay(std::string* why, const std::string& path, const char* what)
{
    if (why != NULL)
        *why = path + ": " + what;
}

/* A directory that is what it claims: no link, the owner's, closed to others
 * (writing at least; reading too when it holds secrets). */
static aErr sCheckDirectory(const std::string& path, uint32_t owner, mode_t forbidden, std::string* why)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        sSay(why, path, "missing");
        return aErrNotFound;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        sSay(why, path, "not a directory (symbolic links are refused)");
        return aErrPermission;
    }
    if (st.st_uid != (uid_t)owner) {
        sSay(why, path, "owned by another user");
        return aErrPermission;
    }
    if ((st.st_mode & forbidden) != 0) {
        sSay(why, path, "open to other users (chmod 700)");
        return aErrPermission;
    }
    return aErrNone;
}

/* Creates the directory and its missing parents, 0700. */
static void sMakeDirectories(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0700);
    mkdir(path.c_str(), 0700);
}

/* The whole small file, opened without following a link, checked on its descriptor. */
static aErr sReadChecked(const std::string& path, uint32_t owner, mode_t forbidden, std::string* text,
                         std::string* why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        sSay(why, path, errno == ELOOP ? "a symbolic link (refused)" : errno == ENOENT ? "missing" : "unreadable");
        return errno == ENOENT ? aErrNotFound : aErrPermission;
    }
    struct stat st;
    aErr err = aErrNone;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        sSay(why, path, "not a regular file");
        err = aErrPermission;
    } else if (st.st_uid != (uid_t)owner) {
        sSay(why, path, "owned by another user");
        err = aErrPermission;
    } else if ((st.st_mode & forbidden) != 0) {
        sSay(why, path, (forbidden & 044) ? "readable by other users (chmod 600)" : "writable by other users");
        err = aErrPermission;
    } else if (st.st_size > aSHARE_MAX_FILE) {
        sSay(why, path, "too large for a certificate");
        err = aErrParse;
    } else {
        text->assign((size_t)st.st_size, '\0');
        const ssize_t got = read(fd, &(*text)[0], text->size());
        if (got != (ssize_t)text->size()) {
            sSay(why, path, "unreadable");
            err = aErrIO;
        }
    }
    close(fd);
    return err;
}

static bool sDecode(const char* z85, aShareKey* key)
{
    return z85 != NULL && strlen(z85) == aSHARE_Z85_SIZE && zmq_z85_decode(key->bytes, z85) != NULL;
}

/* The keys of a certificate's text; the secret one only when asked. */
static bool sParseCertificate(const std::string& text, aShareKey* publicKey, aShareKey* secretKey)
{
    zconfig_t* root = zconfig_str_load(text.c_str());
    if (root == NULL)
        return false;
    bool ok = sDecode(zconfig_get(root, "curve/public-key", NULL), publicKey);
    if (ok && secretKey != NULL)
        ok = sDecode(zconfig_get(root, "curve/secret-key", NULL), secretKey);
    zconfig_destroy(&root);
    return ok;
}

/* A fresh pair as NAME and NAME_secret. The secret is linked into place, which
 * fails when another process was first: its pair stands, ours goes. */
static aErr sCreatePair(const std::string& directory, const char* name, std::string* why)
{
    const std::string final = directory + "/" + name;
    const std::string stem = directory + "/." + name + "." + std::to_string(getpid()) + "." +
                             std::to_string((unsigned long)(uintptr_t)&final);
    const std::string publicTemp = stem + ".pub", secretTemp = stem + ".sec";
    zcert_t* cert = zcert_new();
    if (cert == NULL)
        return aErrMemory;
    zcert_set_meta(cert, "purpose", "%s", "networked-link sharing");
    const bool saved = zcert_save_public(cert, publicTemp.c_str()) == 0 &&
                       zcert_save_secret(cert, secretTemp.c_str()) == 0 && chmod(secretTemp.c_str(), 0600) == 0 &&
                       chmod(publicTemp.c_str(), 0644) == 0;
    zcert_destroy(&cert);
    aErr err = aErrNone;
    if (!saved) {
        sSay(why, directory, "cannot write a new key pair");
        err = aErrIO;
    } else if (link(secretTemp.c_str(), (final + "_secret").c_str()) == 0) {
        rename(publicTemp.c_str(), final.c_str());
    }
    unlink(secretTemp.c_str());
    unlink(publicTemp.c_str());
    return err;
}

aErr aShareKeys_LoadPair(const std::string& directory, const char* name, uint32_t owner, bool create,
                         aSharePair* pair, std::string* why)
{
    if (name == NULL || pair == NULL || directory.empty())
        return aErrParam;
    if (create)
        sMakeDirectories(directory);
    aErr err = sCheckDirectory(directory, owner, 077, why);
    if (err != aErrNone)
        return err;
    const std::string secretPath = directory + "/" + name + "_secret";
    std::string text;
    err = sReadChecked(secretPath, owner, 077, &text, why);
    if (err == aErrNotFound && create) {
        err = sCreatePair(directory, name, why);
        if (err == aErrNone)
            err = sReadChecked(secretPath, owner, 077, &text, why);
    }
    if (err != aErrNone)
        return err;
    if (!sParseCertificate(text, &pair->publicKey, &pair->secretKey)) {
        sSay(why, secretPath, "holds no key pair");
        return aErrParse;
    }
    return aErrNone;
}

aErr aShareKeys_LoadAllowed(const std::string& directory, uint32_t owner, std::vector<aShareKey>* keys,
                            std::string* why)
{
    if (keys == NULL)
        return aErrParam;
    aErr err = sCheckDirectory(directory, owner, 022, why);
    if (err != aErrNone)
        return err;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
    if (!dir) {
        sSay(why, directory, "unreadable");
        return aErrPermission;
    }
    std::vector<std::string> names;
    for (dirent* entry = readdir(dir.get()); entry != NULL; entry = readdir(dir.get())) {
        const std::string entryName = entry->d_name;
        if (!entryName.empty() && entryName[0] != '.')
            names.push_back(entryName);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& entryName : names) {
        if (keys->size() >= aSHARE_MAX_ALLOWED) {
            sSay(why, directory, "holds too many certificates; the rest are ignored");
            break;
        }
        /* Other users' public keys: the file may be theirs in content, but only
         * the owner (or root) may have put it here. */
        std::string text, skipped;
        aShareKey key;
        const std::string path = directory + "/" + entryName;
        aErr fileErr = sReadChecked(path, owner, 022, &text, &skipped);
        if (fileErr == aErrPermission && owner != 0)
            fileErr = sReadChecked(path, 0, 022, &text, &skipped);
        if (fileErr != aErrNone || !sParseCertificate(text, &key, NULL)) {
            sSay(why, path, fileErr != aErrNone ? skipped.c_str() : "no public key; skipped");
            continue;
        }
        keys->push_back(key);
    }
    return aErrNone;
}

/* A public certificate (servers/ADDRESS): the owner's, not writable by others. */
static aErr sLoadPublic(const std::string& path, uint32_t owner, aShareKey* key, std::string* why)
{
    std::string text;
    const aErr err = sReadChecked(path, owner, 022, &text, why);
    if (err != aErrNone)
        return err;
    if (!sParseCertificate(text, key, NULL)) {
        sSay(why, path, "holds no public key");
        return aErrParse;
    }
    return aErrNone;
}

aErr aShareKeys_ForServer(bool localOnly, aShareServerKeys* keys, std::string* why)
{
    if (keys == NULL)
        return aErrParam;
    const uint32_t me = (uint32_t)geteuid();
    std::string directory;
    if (aShareKeys_Directory(me, &directory) != aErrNone) {
        sSay(why, "~", "no home directory for the key files");
        return aErrNotFound;
    }
    /* A server others reach over the network proves a key its owner chose to
     * publish; only a local-only one makes its own. */
    aErr err = aShareKeys_LoadPair(directory, aSHARE_SERVER_CERT, me, localOnly, &keys->server, why);
    if (err != aErrNone)
        return err;
    aSharePair own;
    err = aShareKeys_LoadPair(directory, aSHARE_CLIENT_CERT, me, true, &own, why);
    if (err != aErrNone)
        return err;
    keys->clients.assign(1, own.publicKey);
    if (localOnly)
        return aErrNone;
    std::string skipped;
    err = aShareKeys_LoadAllowed(directory + "/" aSHARE_ALLOWED_DIR, me, &keys->clients, &skipped);
    if (err != aErrNone && why != NULL)
        *why = skipped;
    return err;
}

aErr aShareKeys_ListenerOwner(uint32_t address, uint16_t port, uint32_t* uid)
{
    if (uid == NULL)
        return aErrParam;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); /* the heading */
    while (std::getline(table, line)) {
        /* sl local rem st tx:rx tr:when retrnsmt uid ...; addresses as the
         * kernel holds them (network order read as a host word), ports in host order. */
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long owner = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> owner))
            continue;
        unsigned long listenAddress = 0, listenPort = 0;
        if (state != "0A" || sscanf(local.c_str(), "%lx:%lx", &listenAddress, &listenPort) != 2)
            continue;
        if (listenPort == port && ((uint32_t)listenAddress == address || listenAddress == 0)) {
            *uid = (uint32_t)owner;
            return aErrNone;
        }
    }
    return aErrNotFound;
}

aErr aShareKeys_ForClient(uint32_t address, uint16_t port, aShareClientKeys* keys, std::string* why)
{
    if (keys == NULL)
        return aErrParam;
    const uint32_t me = (uint32_t)geteuid();
    uint32_t owner = 0;
    std::string mine;
    if (aShareKeys_Directory(me, &mine) != aErrNone) {
        sSay(why, "~", "no home directory for the key files");
        return aErrNotFound;
    }
    if (aShareKeys_ListenerOwner(address, port, &owner) != aErrNone) {
        /* Another machine's server: its key as its owner handed it out. */
        char dotted[INET_ADDRSTRLEN] = "";
        in_addr a{};
        a.s_addr = address;
        inet_ntop(AF_INET, &a, dotted, sizeof(dotted));
        const aErr err = sLoadPublic(mine + "/" aSHARE_SERVERS_DIR "/" + dotted, me, &keys->server, why);
        if (err != aErrNone)
            return err;
        return aShareKeys_LoadPair(mine, aSHARE_CLIENT_CERT, me, true, &keys->client, why);
    }
    if (owner != me && me != 0) {
        sSay(why, "server", "belongs to another user");
        return aErrPermission;
    }
    /* Root speaks for the owner of the server, with the owner's own client key. */
    std::string theirs = mine;
    if (owner != me && aShareKeys_Directory(owner, &theirs) != aErrNone) {
        sSay(why, "server", "its owner has no home directory");
        return aErrNotFound;
    }
    aSharePair server;
    aErr err = aShareKeys_LoadPair(theirs, aSHARE_SERVER_CERT, owner, false, &server, why);
    if (err != aErrNone)
        return err;
    keys->server = server.publicKey;
    return aShareKeys_LoadPair(theirs, aSHARE_CLIENT_CERT, owner, owner == me, &keys->client, why);
}
