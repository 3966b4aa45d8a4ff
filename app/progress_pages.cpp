#include "app/progress_pages.h"

#include "resources/resource_ids.h"

// ---- progress pages ------------------------------------------------------------------

CProgressPage::CProgressPage() : CWizard97InteriorPageImpl(IDD_PROGRESS, L"安装所需的文件", L"") {}

void CProgressPage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }

CUninstallPage::CUninstallPage()
    : CWizard97InteriorPageImpl(IDD_UNINSTALL, L"Tolvane翻译软件安装向导", L"删除已安装的文件") {}

void CUninstallPage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }

CUpgradePage::CUpgradePage() : CWizard97InteriorPageImpl(IDD_UPGRADE, L"安装所需的文件", L"") {}

void CUpgradePage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }

// ---- completion pages ----------------------------------------------------------------

CCompletionPageBase::CCompletionPageBase(int templateId) : CWizard97ExteriorPageImpl(templateId) {}

BOOL CCompletionPageBase::OnInitDialog() {
  SetTitleFont(IDC_TITLE);
  return TRUE;
}

void CCompletionPageBase::OnSetActive() { SetWizardButtons(PSWIZB_FINISH); }

CCompletionPage::CCompletionPage() : CCompletionPageBase(IDD_COMPLETION) {}
CUninstallCompletionPage::CUninstallCompletionPage() : CCompletionPageBase(IDD_UNINSTALL_COMPLETION) {}
CUpgradeCompletionPage::CUpgradeCompletionPage() : CCompletionPageBase(IDD_UPGRADE_COMPLETION) {}
