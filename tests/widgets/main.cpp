#include <QApplication>

#include "widgets/WidgetTests.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int failures = 0;
    failures += vorla::test::RunQtDispatcherTests(argc, argv);
    failures += vorla::test::RunForm1Tests(argc, argv);
    failures += vorla::test::RunLogPageTests(argc, argv);
    failures += vorla::test::RunAboutBoxTests(argc, argv);
    failures += vorla::test::RunFiltersFormTests(argc, argv);
    failures += vorla::test::RunPrefsFormTests(argc, argv);
    failures += vorla::test::RunPeekFormTests(argc, argv);
    failures += vorla::test::RunAccountsFormTests(argc, argv);
    return failures == 0 ? 0 : 1;
}
