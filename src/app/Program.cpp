// DUVO: compares two raster pictures pixel by pixel.
#include <QApplication>

#include "app/Forms.h"
#include "loading/open_routes.h"
#include "widgets/Dialogs.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    duvo::InitializeFormats();
    duvo::LoadPolishToolkitTexts();
    duvo::CreateForms();
    const int code = QApplication::exec();
    duvo::DestroyForms();
    return code;
}
