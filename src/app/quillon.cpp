// quillon: the control window. Makes TWebModule1 the web module class, opens the window and
// runs the Qt loop (which also runs the calls handed to the main thread) until it closes.
#include <QApplication>

#include "app/ApplicationHandlers.h"
#include "app/FormUnit1.h"

int main(int argc, char** argv) {
  quillon::ApplicationStartUp();
  int exitCode = 0;
  {
    QApplication application(argc, argv);
    quillon::TQtMainThreadDrain drain;
    quillon::TForm1 form;
    form.show();
    exitCode = QApplication::exec();
  }
  quillon::ApplicationFinish();
  return exitCode;
}
