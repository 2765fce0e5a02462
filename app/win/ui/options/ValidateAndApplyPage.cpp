#include "ui/options/ValidateAndApplyPage.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "ui/options/CValidationError.h"
#include "ui/options/QtValidableItem.h"

bool ValidateAndApplyPage(QtValidableItem* item, bool showMessage) {
  if (item == nullptr) return true;
  try {
    item->Validate();
    item->Apply();
    if (item->IsChanged()) item->TakeSnapshot();
    return true;
  } catch (const CValidationError& error) {
    if (error.IsEmpty()) return true;
    if (showMessage)
      QMessageBox::critical(nullptr,
                            QCoreApplication::translate("QtClientGui", "Kelvane Vesk Client for Windows"),
                            error.Text(), QMessageBox::Ok);
    return false;
  }
}
