#include "forms/form_table.h"

#include "forms/frm_main.h"
#include "forms/frm_splash.h"

namespace quillmar::forms {

FormTable::FormTable(const Services &services) : m_services(services) {}

FormTable::~FormTable() {
  delete m_splash.data();
  delete m_main.data();
}

frmMain *FormTable::mainForm() {
  if (!m_main) {
    m_main = new frmMain(*this);
    m_main->Form_Load();
  }
  return m_main;
}

void FormTable::showMain() {
  frmMain *form = mainForm();
  form->show();
  form->raise();
  form->activateWindow();
}

frmSplash *FormTable::splashForm() {
  if (!m_splash)
    m_splash = new frmSplash(*this);
  return m_splash;
}

void FormTable::unloadSplash() {
  frmSplash *splash = m_splash;
  m_splash = nullptr;
  if (!splash)
    return;
  // Hidden rather than closed, so that no quit-on-last-window logic sees
  // it go; destroyed later, because the unload may come from inside one of
  // the splash's own handlers.
  splash->unload();
}

}  // namespace quillmar::forms
