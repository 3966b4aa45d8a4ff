#include "app/wizard_sheet.h"

#include "resources/resource_ids.h"

CWizardSheet::CWizardSheet() : CWizard97SheetImpl(L"Tolvane翻译软件安装向导", IDB_HEADER, IDB_WATERMARK, 0) {}
