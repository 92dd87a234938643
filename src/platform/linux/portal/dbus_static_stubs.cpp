// What the static libdbus needs beyond glibc's static part, for a process that is only ever a
// client of the session bus over a Unix socket with EXTERNAL authentication.
//
// Two libsystemd calls, for a bus server that systemd's socket activation started: keytap
// serves no bus, so no socket was passed.
//
// And three of glibc's name-service calls, users and groups for a bus server and for cookie
// authentication, which a static program cannot make on another distribution: linked with
// --wrap, they answer that nothing is found, as they would where the name service knows nothing.
#include <grp.h>
#include <pwd.h>

#include <cerrno>

extern "C" {

int sd_listen_fds(int) {
  return 0;
}

int sd_is_socket(int, int, int, int) {
  return 0;
}

int __wrap_getpwuid_r(uid_t, passwd*, char*, size_t, passwd** result) {
  *result = nullptr;
  return ENOENT;
}

int __wrap_getpwnam_r(const char*, passwd*, char*, size_t, passwd** result) {
  *result = nullptr;
  return ENOENT;
}

int __wrap_getgrouplist(const char*, gid_t, gid_t*, int* count) {
  *count = 0;
  return 0;
}
}
