/* Prints what GetPrivateProfileStringA / GetPrivateProfileIntA return for the calls of a
 * script, so the emulated profile reader can be compared with the real functions byte for
 * byte. Usage: profile_probe.exe SCRIPT WORKDIR (see README).
 *
 * Script lines, fields separated by '|', with escapes \r \n \t \\ \| \0 \xNN; a field that is
 * exactly @NULL passes a null pointer; '#' starts a comment line.
 *   W|file|bytes                  writes the file (file relative to WORKDIR)
 *   R|file|bytes|count|tail        writes bytes, then count 'x' characters, then tail
 *   S|file|section|key|default|size   GetPrivateProfileStringA, prints return and buffer
 *   I|file|section|key|default     GetPrivateProfileIntA
 *   D|file|section|key|default|size|dumpfile   like S, and writes the returned bytes to dumpfile
 * A file field starting with '=' is passed on as given (without WORKDIR).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static char g_dir[MAX_PATH];

static int Unescape(const char* in, size_t n, char* out) {
  int len = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = in[i];
    if (c == '\\' && i + 1 < n) {
      char e = in[++i];
      switch (e) {
        case 'r':
          out[len++] = '\r';
          break;
        case 'n':
          out[len++] = '\n';
          break;
        case 't':
          out[len++] = '\t';
          break;
        case '0':
          out[len++] = '\0';
          break;
        case 'x': {
          char hex[3] = {in[i + 1], in[i + 2], 0};
          out[len++] = (char)strtol(hex, NULL, 16);
          i += 2;
          break;
        }
        default:
          out[len++] = e;
          break;
      }
    } else {
      out[len++] = c;
    }
  }
  out[len] = 0;
  return len;
}

/* Splits line into up to 8 unescaped fields; returns the count. */
static int Split(const char* line, char fields[8][4096], int lens[8], int isNull[8]) {
  int count = 0;
  const char* start = line;
  for (const char* p = line;; ++p) {
    if (*p == '\\' && p[1] != 0) {
      ++p;
      continue;
    }
    if (*p == '|' || *p == 0) {
      size_t n = (size_t)(p - start);
      isNull[count] = (n == 5 && memcmp(start, "@NULL", 5) == 0);
      lens[count] = Unescape(start, n, fields[count]);
      ++count;
      if (*p == 0 || count == 8)
        break;
      start = p + 1;
    }
  }
  return count;
}

static void Print(const char* data, int n) {
  for (int i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)data[i];
    if (c == '\\')
      printf("\\\\");
    else if (c >= 0x20 && c < 0x7f)
      putchar(c);
    else
      printf("\\x%02X", c);
  }
}

static void FilePath(const char* field, char* path) {
  if (field[0] == '=')
    strcpy(path, field + 1);
  else
    sprintf(path, "%s\\%s", g_dir, field);
}

static void WriteBytes(const char* path, const char* data, int n, int repeat, const char* tail,
                       int tailLen) {
  FILE* f = fopen(path, "wb");
  if (!f) {
    printf("cannot write %s\n", path);
    return;
  }
  fwrite(data, 1, (size_t)n, f);
  for (int i = 0; i < repeat; ++i)
    fputc('x', f);
  fwrite(tail, 1, (size_t)tailLen, f);
  fclose(f);
}

int main(int argc, char** argv) {
  static char fields[8][4096];
  static char line[16384];
  int lens[8], isNull[8];
  if (argc < 3) {
    fprintf(stderr, "usage: profile_probe SCRIPT WORKDIR\n");
    return 2;
  }
  strcpy(g_dir, argv[2]);
  CreateDirectoryA(g_dir, NULL);
  FILE* script = fopen(argv[1], "rb");
  if (!script)
    return 2;
  while (fgets(line, sizeof line, script)) {
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
      line[--n] = 0;
    if (n == 0 || line[0] == '#') {
      if (n > 0)
        printf("%s\n", line);
      continue;
    }
    int count = Split(line, fields, lens, isNull);
    char path[MAX_PATH * 2];
    if (line[0] == 'W' && count >= 3) {
      FilePath(fields[1], path);
      WriteBytes(path, fields[2], lens[2], 0, "", 0);
    } else if (line[0] == 'R' && count >= 5) {
      FilePath(fields[1], path);
      WriteBytes(path, fields[2], lens[2], atoi(fields[3]), fields[4], lens[4]);
    } else if ((line[0] == 'S' && count >= 6) || (line[0] == 'D' && count >= 7)) {
      FilePath(fields[1], path);
      DWORD size = (DWORD)atoi(fields[5]);
      char* buffer = (char*)malloc(size + 8);
      memset(buffer, '~', size + 8);
      SetLastError(0xABCD);
      DWORD ret = GetPrivateProfileStringA(
          isNull[2] ? NULL : fields[2], isNull[3] ? NULL : fields[3], isNull[4] ? NULL : fields[4],
          size == 0 && fields[5][0] == 'n' ? NULL : buffer, size, path);
      DWORD err = GetLastError();
      printf("%s => %lu err=%lu [", line, (unsigned long)ret, (unsigned long)err);
      int shown = (int)size + 2;
      if (shown > 120) {
        /* long results: the length of the text, its tail and the bytes around the end */
        printf("len=%u ... ", (unsigned)strlen(buffer));
        Print(buffer + size - 6, 8);
      } else {
        Print(buffer, shown);
      }
      printf("]\n");
      if (line[0] == 'D') {
        char dumpPath[MAX_PATH * 2];
        FilePath(fields[6], dumpPath);
        WriteBytes(dumpPath, buffer, (int)ret, 0, "", 0);
      }
      free(buffer);
    } else if (line[0] == 'I' && count >= 5) {
      FilePath(fields[1], path);
      UINT ret = GetPrivateProfileIntA(isNull[2] ? NULL : fields[2], isNull[3] ? NULL : fields[3],
                                       atoi(fields[4]), path);
      printf("%s => %u (%d)\n", line, ret, (int)ret);
    } else {
      printf("?? %s\n", line);
    }
    fflush(stdout);
  }
  return 0;
}
