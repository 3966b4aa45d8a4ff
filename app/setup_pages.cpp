#include "app/setup_pages.h"

#include "resources/resource_ids.h"

// ---- welcome -------------------------------------------------------------------------

CWelcomePage::CWelcomePage() : CWizard97ExteriorPageImpl(IDD_WELCOME) {}

BOOL CWelcomePage::OnInitDialog() {
  SetTitleFont(IDC_TITLE);
  return TRUE;
}

void CWelcomePage::OnSetActive() { SetWizardButtons(PSWIZB_NEXT); }

// ---- setup type ----------------------------------------------------------------------

CSetupType::CSetupType() : CWizard97InteriorPageImpl(IDD_SETUP_TYPE, L"Tolvane翻译软件安装向导", L"请选择安装方式") {}

void CSetupType::OnSetActive() { SetWizardButtons(PSWIZB_NEXT); }

// ---- licence -------------------------------------------------------------------------

CLicensePage::CLicensePage()
    : CWizard97InteriorPageImpl(IDD_LICENSE, L"许可证协议", L"请仔细阅读下面的许可证协议。") {}

void CLicensePage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }

// ---- user information ----------------------------------------------------------------

CUserInfoPage::CUserInfoPage() : CWizard97InteriorPageImpl(IDD_USER_INFO, L"用户信息", L"输入您的信息。") {}

void CUserInfoPage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }

// ---- install folder ------------------------------------------------------------------

CSelectFolderPage::CSelectFolderPage()
    : CWizard97InteriorPageImpl(IDD_SELECT_FOLDER, L"选择安装文件夹", L"安装向导将安装Tolvane翻译软件到指定的文件夹。") {}

void CSelectFolderPage::OnSetActive() { SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT); }
