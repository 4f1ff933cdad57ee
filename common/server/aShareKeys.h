/* Key files of the networked-link server and its clients (CurveZMQ key pairs).
 *
 * Every user has a key directory, $XDG_CONFIG_HOME/tarnix/share (when that is
 * an absolute path) or else <home>/.config/tarnix/share, mode 0700, holding
 * certificates in CZMQ's format:
 *   client.key, client.key_secret   who this user's clients are
 *   server.key, server.key_secret   what this user's servers prove to clients
 *   allowed/                        public certificates of the other clients a
 *                                   network server accepts (authorized keys)
 *   servers/ADDRESS                 public certificate of a server on another
 *                                   machine, for clients reaching it at ADDRESS
 * Secret files are mode 0600. A directory or file that is a symbolic link, is
 * not owned by the key owner, or is open to others (secrets: readable by
 * anyone else; public and allowed certificates: writable) is refused, never
 * used.
 *
 * Used by the server and the client stream; any thread; the only state is the
 * process-wide insecure switch. */
#ifndef TARNIX_ASHAREKEYS_H
#define TARNIX_ASHAREKEYS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "aError.h"

#define aSHARE_KEY_SIZE 32
#define aSHARE_KEYS_SUBDIR "tarnix/share"
#define aSHARE_CLIENT_CERT "client.key"
#define aSHARE_SERVER_CERT "server.key"
#define aSHARE_ALLOWED_DIR "allowed"
#define aSHARE_SERVERS_DIR "servers"
/* Allowed certificates read from one directory at most (a flood of files
 * must not make starting a server slow). */
#define aSHARE_MAX_ALLOWED 1024

struct aShareKey {
    uint8_t bytes[aSHARE_KEY_SIZE] = {};
    bool operator==(const aShareKey& other) const;
    bool operator<(const aShareKey& other) const;
    /* The 40-character Z85 text CZMQ and libzmq use. */
    std::string text() const;
};

struct aSharePair {
    aShareKey publicKey;
    aShareKey secretKey;
};

/* What a server of this process accepts and proves. */
struct aShareServerKeys {
    aSharePair server;
    std::vector<aShareKey> clients; /* the owner's client key first */
};

/* What a client needs to reach one server. */
struct aShareClientKeys {
    aShareKey server;
    aSharePair client;
};

/* Turns security off for every server and client stream this process makes
 * from now on (a closed lab network; both ends must agree). Any thread; set
 * it before the first server or client. */
void aShareKeys_SetInsecure(bool insecure);
bool aShareKeys_IsInsecure(void);

/* The key directory of uid (see above; $XDG_CONFIG_HOME counts for the
 * effective uid only). aErrNotFound when uid has no home. */
aErr aShareKeys_Directory(uint32_t uid, std::string* directory);

/* Loads the key pair NAME (NAME_secret holds both keys) from directory, owned
 * by owner. With create (the caller's own directory only) the directory and a
 * fresh pair are made when missing, atomically, so that two processes
 * starting at once end with the same pair. aErrPermission when a directory or
 * file fails the checks above, aErrNotFound when missing and not created,
 * aErrParse for a file that holds no key pair, aErrIO on a write failure.
 * *why (may be null) says which path failed and how. */
aErr aShareKeys_LoadPair(const std::string& directory, const char* name, uint32_t owner, bool create,
                         aSharePair* pair, std::string* why);

/* The public keys of the certificates in directory (owned by owner, not
 * writable by others); a file in it may also be root's. Files that fail the
 * checks or hold no key are skipped and named in *why. aErrNotFound when the
 * directory is missing, aErrPermission when it fails the checks. */
aErr aShareKeys_LoadAllowed(const std::string& directory, uint32_t owner, std::vector<aShareKey>* keys,
                            std::string* why);

/* The keys of a server of the calling (effective) user: its pair (made on
 * first use for a local-only server; a network server needs it made
 * beforehand) and the clients it accepts: the owner's own client key (made
 * on first use), and for a network server every key in allowed/, which must
 * exist. Errors as aShareKeys_LoadPair. */
aErr aShareKeys_ForServer(bool localOnly, aShareServerKeys* keys, std::string* why);

/* The keys for reaching the server listening at IPv4 address:port (network
 * byte order address). A server on this machine is known by the owner of its
 * listening socket: the caller's own (its client pair is made on first use),
 * or, for root, any user's. A server elsewhere needs servers/ADDRESS in the
 * caller's directory. aErrPermission when the server belongs to another user
 * or a file fails the checks, aErrNotFound when no key for the server is known;
 * others as aShareKeys_LoadPair. */
aErr aShareKeys_ForClient(uint32_t address, uint16_t port, aShareClientKeys* keys, std::string* why);

/* The uid owning the TCP socket listening on address:port on this machine
 * (a socket bound to any address counts). aErrNotFound when there is none. */
aErr aShareKeys_ListenerOwner(uint32_t address, uint16_t port, uint32_t* uid);

#endif
