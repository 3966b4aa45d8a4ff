#include "app/wizard_sheet.h"

#include "resources/resource_ids.h"

CWizardSheet::CWizardSheet() : CWizard97SheetImpl(L"Tolvane翻译软件安装向导", IDB_HEADER, IDB_WATERMARK, 0) {
  AddBitmapsForDpi(120, IDB_HEADER_120, IDB_WATERMARK_120);
  AddBitmapsForDpi(144, IDB_HEADER_144, IDB_WATERMARK_144);
  AddBitmapsForDpi(192, IDB_HEADER_192, IDB_WATERMARK_192);
  UsePackedBitmaps(IDR_DPI_BITMAPS);
}
