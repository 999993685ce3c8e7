#pragma once

// Each widget test file runs its QtTest class through one of these; main() runs them all.
namespace vorla::test {
int RunQtDispatcherTests(int argc, char** argv);
int RunForm1Tests(int argc, char** argv);
int RunLogPageTests(int argc, char** argv);
int RunAboutBoxTests(int argc, char** argv);
int RunFiltersFormTests(int argc, char** argv);
int RunPrefsFormTests(int argc, char** argv);
int RunPeekFormTests(int argc, char** argv);
int RunAccountsFormTests(int argc, char** argv);
}  // namespace vorla::test
