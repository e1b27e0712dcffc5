/*
 * Preloaded into a Node.js process to make one system resource fail for the
 * module under test, selected by the environment variable HV_FAIL:
 *
 *   HV_FAIL=urandom     opening "/dev/urandom" fails with ENOENT
 *   HV_FAIL=crypt_data  calloc of exactly sizeof(struct crypt_data) bytes
 *                       (libxcrypt's work area) fails with ENOMEM
 *   HV_FAIL=crypt_data_once
 *                       the same for the first such calloc that the module
 *                       itself makes, on whichever thread, and for no other:
 *                       a fault that passes
 *
 * and, selected by HV_TRACE, counts one without making it fail:
 *
 *   HV_TRACE=crypt_data  each calloc of exactly sizeof(struct crypt_data)
 *                        bytes on the process's main thread first writes
 *                        "crypt_data\n" to standard error: one line for each
 *                        hash the module starts there
 *
 * Everything else is forwarded to the next definition (glibc's). Build:
 *   cc -shared -fPIC -o fail_shim.so fail_shim.c -ldl
 */
#define _GNU_SOURCE
#include <crypt.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum fail_mode { FAIL_NONE, FAIL_URANDOM, FAIL_CRYPT_DATA, FAIL_CRYPT_DATA_ONCE };

static enum fail_mode mode = FAIL_NONE;
static int trace_crypt_data = 0;
static int failed_once = 0;

__attribute__((constructor)) static void read_mode(void) {
  const char *trace = getenv("HV_TRACE");
  if (trace != NULL && strcmp(trace, "crypt_data") == 0) trace_crypt_data = 1;
  const char *value = getenv("HV_FAIL");
  if (value == NULL) return;
  if (strcmp(value, "urandom") == 0) mode = FAIL_URANDOM;
  if (strcmp(value, "crypt_data") == 0) mode = FAIL_CRYPT_DATA;
  if (strcmp(value, "crypt_data_once") == 0) mode = FAIL_CRYPT_DATA_ONCE;
}

/* ---- opening /dev/urandom ---------------------------------------------- */

static int refuse_open(const char *path) {
  if (mode == FAIL_URANDOM && path != NULL && strcmp(path, "/dev/urandom") == 0) {
    errno = ENOENT;
    return 1;
  }
  return 0;
}

/* The mode argument is there only when flags ask for it. */
#define OPEN_MODE(flags, mode_var)                                   \
  mode_t mode_var = 0;                                               \
  if ((flags) & (O_CREAT | O_TMPFILE)) {                             \
    va_list args;                                                    \
    va_start(args, flags);                                           \
    mode_var = (mode_t)va_arg(args, int);                            \
    va_end(args);                                                    \
  }

#define NEXT(name, type) ((type)dlsym(RTLD_NEXT, name))

int open(const char *path, int flags, ...) {
  OPEN_MODE(flags, m);
  if (refuse_open(path)) return -1;
  return NEXT("open", int (*)(const char *, int, ...))(path, flags, m);
}

int open64(const char *path, int flags, ...) {
  OPEN_MODE(flags, m);
  if (refuse_open(path)) return -1;
  return NEXT("open64", int (*)(const char *, int, ...))(path, flags, m);
}

int openat(int dirfd, const char *path, int flags, ...) {
  OPEN_MODE(flags, m);
  if (refuse_open(path)) return -1;
  return NEXT("openat", int (*)(int, const char *, int, ...))(dirfd, path, flags, m);
}

int openat64(int dirfd, const char *path, int flags, ...) {
  OPEN_MODE(flags, m);
  if (refuse_open(path)) return -1;
  return NEXT("openat64", int (*)(int, const char *, int, ...))(dirfd, path, flags, m);
}

/* The fortified forms that _FORTIFY_SOURCE builds call. */
int __open_2(const char *path, int flags) {
  if (refuse_open(path)) return -1;
  return NEXT("__open_2", int (*)(const char *, int))(path, flags);
}

int __open64_2(const char *path, int flags) {
  if (refuse_open(path)) return -1;
  return NEXT("__open64_2", int (*)(const char *, int))(path, flags);
}

/* ---- the crypt_data work area ------------------------------------------ */

/*
 * glibc's own entry point: resolving calloc through dlsym could itself call
 * calloc (for dlerror's buffer) before there is anything to forward to.
 */
extern void *__libc_calloc(size_t count, size_t size);

/* Whether code at this address belongs to the module, not to Node.js, which
   may allocate the same size for its own ends. */
static int in_module(void *address) {
  Dl_info info;
  return dladdr(address, &info) != 0 && info.dli_fname != NULL &&
         strstr(info.dli_fname, "header_validator.node") != NULL;
}

/* Whether this allocation of a work area, made from caller, is to fail. */
static int fail_work_area(void *caller) {
  if (mode == FAIL_CRYPT_DATA) return 1;
  return mode == FAIL_CRYPT_DATA_ONCE && in_module(caller) &&
         !__atomic_exchange_n(&failed_once, 1, __ATOMIC_SEQ_CST);
}

void *calloc(size_t count, size_t size) {
  const int work_area = size != 0 && count <= SIZE_MAX / size && count * size == sizeof(struct crypt_data);
  if (work_area && fail_work_area(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  /* Other threads of Node.js allocate as they please; the calls under test run on the main one. */
  if (work_area && trace_crypt_data && gettid() == getpid()) {
    static const char line[] = "crypt_data\n";
    if (write(2, line, sizeof line - 1) < 0) abort();
  }
  return __libc_calloc(count, size);
}
