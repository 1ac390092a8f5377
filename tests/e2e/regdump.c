/* Writes the keys below HKLM that the end-to-end tests compare, read through the 32-bit view
 * with the ANSI functions the program uses, so the data are exactly the bytes a caller of
 * RegQueryValueExA gets (a REG_SZ keeps or lacks its NUL as it was written).
 *
 * Usage: regdump OUTPUT [/32 | /64] KEY...   (KEY relative to HKEY_LOCAL_MACHINE)
 * /64 reads the keys after it through the 64-bit view (a 64-bit Windows has two), /32 through
 * the 32-bit view again, which is where they are read from at first. It is built for both
 * bitnesses: a 32-bit Windows (a WINEARCH=win32 prefix) starts no 64-bit program.
 * Each line: "K <key path>" (32-bit view), "K64 <key path>" (64-bit view) or
 * "V <name> <type> <data>"; the path, the name and the data are hexadecimal bytes, so that any
 * character survives. A missing key gives no line. */
#ifdef _WIN32
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void PutHex(FILE* out, const unsigned char* bytes, DWORD size) {
  if (size == 0) {
    fputc('-', out);
  }
  for (DWORD i = 0; i < size; ++i) {
    fprintf(out, "%02x", bytes[i]);
  }
}

static void DumpKey(FILE* out, HKEY parent, const char* name, const char* path, REGSAM view) {
  HKEY key;
  if (RegOpenKeyExA(parent, name, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return;
  }
  fputs(view == KEY_WOW64_64KEY ? "K64 " : "K ", out);
  PutHex(out, (const unsigned char*)path, (DWORD)strlen(path));
  fputc('\n', out);

  static char valueName[16384];
  static unsigned char data[1 << 20];
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = sizeof valueName;
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, i, valueName, &nameSize, NULL, &type, data, &dataSize) !=
        ERROR_SUCCESS) {
      break;
    }
    /* Ask by name too: the size RegQueryValueExA reports is the one the program sees. */
    DWORD querySize = sizeof data;
    if (RegQueryValueExA(key, valueName, NULL, &type, data, &querySize) == ERROR_SUCCESS) {
      dataSize = querySize;
    }
    fputs("V ", out);
    PutHex(out, (const unsigned char*)valueName, nameSize);
    fprintf(out, " %lu ", (unsigned long)type);
    PutHex(out, data, dataSize);
    fputc('\n', out);
  }
  for (DWORD i = 0;; ++i) {
    char child[1024];
    DWORD childSize = sizeof child;
    if (RegEnumKeyExA(key, i, child, &childSize, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
      break;
    }
    size_t length = strlen(path) + 1 + childSize + 1;
    char* childPath = (char*)malloc(length);
    snprintf(childPath, length, "%s\\%s", path, child);
    DumpKey(out, key, child, childPath, view);
    free(childPath);
  }
  RegCloseKey(key);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: regdump OUTPUT [/32 | /64] KEY...\n", stderr);
    return 2;
  }
  FILE* out = fopen(argv[1], "wb");
  if (out == NULL) {
    return 1;
  }
  REGSAM view = KEY_WOW64_32KEY;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "/64") == 0) {
      view = KEY_WOW64_64KEY;
    } else if (strcmp(argv[i], "/32") == 0) {
      view = KEY_WOW64_32KEY;
    } else {
      DumpKey(out, HKEY_LOCAL_MACHINE, argv[i], argv[i], view);
    }
  }
  return fclose(out) == 0 ? 0 : 1;
}
#else
int main(void) {
  return 2;
} /* a Windows tool only */
#endif
