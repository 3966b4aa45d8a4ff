#include "app/setup_pages.h"

#include <richedit.h>
#include <shlobj.h>

#include <algorithm>

#include "common/win_owners.h"
#include "resources/resource_ids.h"
#include "state/install_folder.h"
#include "state/installed_product.h"

namespace tolvane {

std::wstring WindowString(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

}  // namespace tolvane

namespace {

constexpr wchar_t kUninstallQuestion[] = L"确认从计算机中卸载Tolvane翻译软件?";
constexpr wchar_t kBrowseTitle[] = L"安装路径:";
// BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_RETURNFSANCESTORS | BIF_NEWDIALOGSTYLE
constexpr UINT kBrowseFlags = 0x4D;
// A notification code no control sends.
constexpr WORD kNoUpdate = 0xFFFF;
static_assert(kBrowseFlags == (BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_RETURNFSANCESTORS | BIF_NEWDIALOGSTYLE),
              "picker options");

// What is left of the agreement for the rich-edit control to read.
struct RtfSource {
  const BYTE* next;
  DWORD remaining;
};

// Hands the control as much as it asks for, then 0 bytes once all is read; never fails.
DWORD CALLBACK ReadRtf(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given) {
  auto* source = reinterpret_cast<RtfSource*>(cookie);
  const DWORD count = std::min<DWORD>(source->remaining, wanted > 0 ? static_cast<DWORD>(wanted) : 0);
  if (count) memcpy(buffer, source->next, count);
  source->next += count;
  source->remaining -= count;
  *given = static_cast<LONG>(count);
  return 0;
}

// The picker starts at the folder in the box and shows the full path of whatever the
// user selects as its status text.
int CALLBACK BrowseCallback(HWND picker, UINT message, LPARAM lParam, LPARAM data) {
  switch (message) {
    case BFFM_INITIALIZED:
      if (data) {
        SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, data);
        SendMessageW(picker, BFFM_SETEXPANDED, TRUE, data);
      }
      break;
    case BFFM_SELCHANGED: {
      wchar_t path[MAX_PATH] = {};
      if (!lParam || !SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path)) path[0] = L'\0';
      SendMessageW(picker, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(path));
      break;
    }
    default:
      break;
  }
  return 0;
}

}  // namespace

// ---- welcome -------------------------------------------------------------------------

CWelcomePage::CWelcomePage() : CWizard97ExteriorPageImpl(IDD_WELCOME) {}

BOOL CWelcomePage::OnInitDialog() {
  SetTitleFont(IDC_TITLE);
  installed_ = ReadInstalledProduct();
  return TRUE;
}

void CWelcomePage::OnSetActive() { SetWizardButtons(PSWIZB_NEXT); }

WizardNext CWelcomePage::OnWizardNext() {
  // Looked at again: the installation may have changed while the page was shown.
  installed_ = ReadInstalledProduct();
  return installed_ ? WizardNext::Advance() : WizardNext::JumpTo(IDD_LICENSE);
}

// ---- setup type ----------------------------------------------------------------------

CSetupType::CSetupType() : CWizard97InteriorPageImpl(IDD_SETUP_TYPE, L"Tolvane翻译软件安装向导", L"请选择安装方式") {}

BOOL CSetupType::OnInitDialog() {
  EnableWindow(Item(IDC_UPGRADE), TRUE);
  CheckRadioButton(Window(), IDC_UPGRADE, IDC_UNINSTALL, IDC_UPGRADE);
  return TRUE;
}

void CSetupType::OnSetActive() { SetWizardButtons(PSWIZB_NEXT); }

// The chosen option, where the arrow keys move the choice.
HWND CSetupType::FirstInput() const {
  for (int id : {IDC_UPGRADE, IDC_REINSTALL, IDC_UNINSTALL}) {
    if (IsDlgButtonChecked(Window(), id) == BST_CHECKED) return Item(id);
  }
  return Item(IDC_UPGRADE);
}

WizardNext CSetupType::OnWizardNext() {
  if (IsDlgButtonChecked(Window(), IDC_UPGRADE) == BST_CHECKED) return WizardNext::JumpTo(IDD_UPGRADE);
  if (IsDlgButtonChecked(Window(), IDC_REINSTALL) == BST_CHECKED) return WizardNext::Advance();
  if (IsDlgButtonChecked(Window(), IDC_UNINSTALL) == BST_CHECKED) {
    const int answer = MessageBoxW(Window(), kUninstallQuestion, kMessageCaption,
                                   MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3);
    return answer == IDYES ? WizardNext::JumpTo(IDD_UNINSTALL) : WizardNext::Stay();
  }
  return WizardNext::Stay();
}

// ---- pages whose buttons follow the input ----------------------------------------------

CInputPage::CInputPage(int templateId, const wchar_t* title, const wchar_t* subtitle, int firstInputId,
                       WORD updateCode)
    : CWizard97InteriorPageImpl(templateId, title, subtitle), firstInputId_(firstInputId), updateCode_(updateCode) {}

HWND CInputPage::FirstInput() const { return Item(firstInputId_); }

void CInputPage::OnSetActive() { SetWizardButtons(Buttons()); }

bool CInputPage::OnCommand(WORD, WORD code, HWND) {
  if (code != updateCode_) return false;
  SetWizardButtons(Buttons());
  return true;
}

// ---- licence -------------------------------------------------------------------------

// The agreement takes the focus first, to be read; focusing a radio button would select it.
CLicensePage::CLicensePage()
    : CInputPage(IDD_LICENSE, L"许可证协议", L"请仔细阅读下面的许可证协议。", IDC_LICENSE_TEXT, BN_CLICKED) {}

BOOL CLicensePage::OnInitDialog() {
  const tolvane::LoadedResource agreement(CWizardModule::Instance(), IDR_LICENSE_RTF, RT_RCDATA);
  if (agreement.found()) {
    RtfSource source = {agreement.data(), agreement.size()};
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
    stream.pfnCallback = &ReadRtf;
    SendDlgItemMessageW(Window(), IDC_LICENSE_TEXT, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
  }
  SendDlgItemMessageW(Window(), IDC_LICENSE_TEXT, EM_SETREADONLY, TRUE, 0);
  return TRUE;
}

DWORD CLicensePage::Buttons() const {
  return IsDlgButtonChecked(Window(), IDC_ACCEPT) == BST_CHECKED ? PSWIZB_NEXT : 0;
}

// ---- user information ----------------------------------------------------------------

CUserInfoPage::CUserInfoPage()
    : CInputPage(IDD_USER_INFO, L"用户信息", L"输入您的信息。", IDC_USER_NAME, EN_CHANGE) {}

BOOL CUserInfoPage::OnInitDialog() {
  const InstalledProductRecord& record = InstalledProduct();
  if (!record.UserName.empty()) SetDlgItemTextW(Window(), IDC_USER_NAME, record.UserName.c_str());
  if (!record.UserCompany.empty()) SetDlgItemTextW(Window(), IDC_COMPANY, record.UserCompany.c_str());
  return TRUE;
}

bool CUserInfoPage::TestEntries() const {
  const std::wstring name = tolvane::WindowString(Item(IDC_USER_NAME));
  if (name.empty()) return false;
  const std::wstring company = tolvane::WindowString(Item(IDC_COMPANY));
  std::wstring trimmedName = tolvane::TrimSpace(name);
  if (trimmedName.empty()) return false;
  InstalledProductRecord& record = InstalledProduct();
  record.EnteredUserName = std::move(trimmedName);
  record.EnteredUserCompany = tolvane::TrimSpace(company);
  return true;
}

DWORD CUserInfoPage::Buttons() const { return TestEntries() ? PSWIZB_BACK | PSWIZB_NEXT : PSWIZB_BACK; }

WizardNext CUserInfoPage::OnWizardNext() { return TestEntries() ? WizardNext::Advance() : WizardNext::Stay(); }

// ---- install folder ------------------------------------------------------------------

// Its buttons never change: no notification updates them.
CSelectFolderPage::CSelectFolderPage()
    : CInputPage(IDD_SELECT_FOLDER, L"选择安装文件夹", L"安装向导将安装Tolvane翻译软件到指定的文件夹。", IDC_FOLDER,
                 kNoUpdate) {}

BOOL CSelectFolderPage::OnInitDialog() {
  const std::wstring& folder = InstalledProduct().InstallPath;
  if (!folder.empty()) SetDlgItemTextW(Window(), IDC_FOLDER, folder.c_str());
  return TRUE;
}

DWORD CSelectFolderPage::Buttons() const { return PSWIZB_BACK | PSWIZB_NEXT; }

bool CSelectFolderPage::OnCommand(WORD id, WORD code, HWND) {
  if (id != IDC_BROWSE || code != BN_CLICKED) return false;
  Browse();
  return true;
}

void CSelectFolderPage::Browse() {
  const std::wstring current = tolvane::WindowString(Item(IDC_FOLDER));
  BROWSEINFOW browse = {};
  browse.hwndOwner = Window();
  browse.lpszTitle = kBrowseTitle;
  browse.ulFlags = kBrowseFlags;
  browse.lpfn = &BrowseCallback;
  browse.lParam = current.empty() ? 0 : reinterpret_cast<LPARAM>(current.c_str());
  const tolvane::UniqueCoTaskMem<PIDLIST_ABSOLUTE> chosen(SHBrowseForFolderW(&browse));
  if (!chosen.get()) return;
  wchar_t path[MAX_PATH] = {};
  if (SHGetPathFromIDListW(chosen.get(), path) && path[0]) SetDlgItemTextW(Window(), IDC_FOLDER, path);
}

WizardNext CSelectFolderPage::OnWizardNext() {
  return ValidateFolderText(Window(), tolvane::WindowString(Item(IDC_FOLDER))) ? WizardNext::Advance()
                                                                              : WizardNext::Stay();
}
