/* Sends a console control event to a program once it has made its first temporary
 * file, then reports how the program ended:
 *   console_control.exe c|break TEMPDIR REPORT "COMMAND LINE"
 * With "none" instead of an event, the program is started detached, without
 * standard handles (as a program with no console starts it), and left to finish.
 * TEMPDIR becomes the program's TMP and TEMP. The event (Ctrl-C or Ctrl-Break) goes
 * to every process of the console; this helper ignores it. (Wine 8 refuses an event
 * aimed at one process group, with error 6.) Writes one line to the file REPORT,
 * "exit status 0x..." when the event was sent and the program ended, or what went
 * wrong. Wine delivers control events only to a console it drives, so run this on
 * a terminal (a pseudo-terminal will do). */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static FILE *report;

static BOOL WINAPI ignore_event(DWORD event) {
  (void)event;
  return TRUE;
}

static int directory_has_file(const wchar_t *dir) {
  wchar_t pattern[MAX_PATH + 4];
  WIN32_FIND_DATAW entry;
  HANDLE find;
  int found = 0;
  if (swprintf(pattern, MAX_PATH + 4, L"%ls\\*", dir) < 0) return 0;
  find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found = 1;
  } while (!found && FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

int wmain(int argc, wchar_t **argv) {
  STARTUPINFOW startup = {0};
  PROCESS_INFORMATION process;
  DWORD status = 0, waited;
  int brk;
  int none;
  if (argc != 5 || (wcscmp(argv[1], L"c") != 0 && wcscmp(argv[1], L"break") != 0 && wcscmp(argv[1], L"none") != 0)) {
    fprintf(stderr, "usage: console_control.exe c|break|none TEMPDIR REPORT \"COMMAND LINE\"\n");
    return 3;
  }
  startup.cb = sizeof startup;
  report = _wfopen(argv[3], L"w");
  if (!report) return 3;
  brk = wcscmp(argv[1], L"break") == 0;
  none = wcscmp(argv[1], L"none") == 0;
  SetEnvironmentVariableW(L"TMP", argv[2]);
  SetEnvironmentVariableW(L"TEMP", argv[2]);
  if (none) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = INVALID_HANDLE_VALUE;
  }
  if (!CreateProcessW(NULL, argv[4], NULL, NULL, !none, none ? DETACHED_PROCESS : 0, NULL, NULL, &startup,
                      &process)) {
    fprintf(report, "CreateProcess failed: %lu\n", GetLastError());
    fclose(report);
    return 3;
  }
  if (none) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    fprintf(report, "exit status 0x%08lx\n", status);
    return 0;
  }
  /* Only now: a process inherits its parent's "ignore Ctrl-C". */
  SetConsoleCtrlHandler(ignore_event, TRUE);

  for (waited = 0; !directory_has_file(argv[2]); waited += 1) {
    if (waited >= 30000 || WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &status);
      fprintf(report, "no temporary file appeared; exit status 0x%08lx\n", status);
      return 2;
    }
  }
  if (!GenerateConsoleCtrlEvent(brk ? CTRL_BREAK_EVENT : CTRL_C_EVENT, 0)) {
    fprintf(report, "GenerateConsoleCtrlEvent failed: %lu\n", GetLastError());
    TerminateProcess(process.hProcess, 1);
    return 3;
  }
  if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
    fprintf(report, "the program did not end within 30 s\n");
    TerminateProcess(process.hProcess, 1);
    return 2;
  }
  GetExitCodeProcess(process.hProcess, &status);
  fprintf(report, "exit status 0x%08lx\n", status);
  return 0;
}
