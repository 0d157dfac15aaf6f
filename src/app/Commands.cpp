#include "app/Commands.h"

#include <new>

#include "app/Forms.h"
#include "rtl/exceptions.h"
#include "widgets/Dialogs.h"

namespace duvo {

void ShowException(const std::string& message) {
    ShowMessage(QString::fromStdString(ErrorDisplayText(message)), ApplicationTitle(), QMessageBox::Ok,
                QMessageBox::Critical);
}

void RunCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (const EAbort&) {
    } catch (const Exception& e) {
        ShowException(e.Message());
    } catch (const std::bad_alloc&) {
        ShowException(msg::OutOfMemory);
    } catch (const std::exception& e) {
        ShowException(e.what());
    }
}

}  // namespace duvo
