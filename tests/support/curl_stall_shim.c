/* Preload library for end-to-end tests of stalled and unreachable servers:
 * it passes every transfer option of the program on to libcurl, only
 * shortening the stall time-out the program sets and scaling its connect
 * time-out down tenfold (so a test still tells 15 s from 150 s), so those
 * tests end in seconds. A program that sets no time-out still gets none. */
#define _GNU_SOURCE
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdarg.h>

/* The stall time-out the program gets instead of a longer one, in seconds. */
#define SHIM_STALL_SECONDS 2L
/* The connect time-out the program sets is divided by this. */
#define SHIM_CONNECT_DIVISOR 10L

typedef CURLcode (*setopt_fn)(CURL*, CURLoption, ...);
static setopt_fn sNextSetopt;

__attribute__((constructor)) static void sFindNextSetopt(void) {
  sNextSetopt = (setopt_fn)dlsym(RTLD_NEXT, "curl_easy_setopt");
}

CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
  if (!sNextSetopt) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, option);
  CURLcode code;
  /* The option number tells the type of its argument. */
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    long value = va_arg(args, long);
    if (option == CURLOPT_LOW_SPEED_TIME && value > SHIM_STALL_SECONDS) value = SHIM_STALL_SECONDS;
    if (option == CURLOPT_CONNECTTIMEOUT && value > 0) {
      option = CURLOPT_CONNECTTIMEOUT_MS;
      value = value * 1000L / SHIM_CONNECT_DIVISOR;
    }
    code = sNextSetopt(curl, option, value);
  } else if (option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB) {
    code = sNextSetopt(curl, option, va_arg(args, curl_off_t));
  } else if (option >= CURLOPTTYPE_FUNCTIONPOINT && option < CURLOPTTYPE_OFF_T) {
    code = sNextSetopt(curl, option, va_arg(args, void (*)(void)));
  } else {
    code = sNextSetopt(curl, option, va_arg(args, void*));
  }
  va_end(args);
  return code;
}
