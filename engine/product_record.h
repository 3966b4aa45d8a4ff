// The product's registry record: HKEY_LOCAL_MACHINE\SOFTWARE\QUAV_SRV with the user
// name, company and install folder, and the keys removed when the product goes.
#pragma once

struct WorkerContext;

// Writes UserName, UserCompany and InstallPath (REG_SZ) from the entered values. Reports
// "生成注册表项目出错。" itself on the first failure; values written before it stay.
bool WriteProductRecord(WorkerContext& context);

// Removes HKEY_LOCAL_MACHINE\SOFTWARE\QUAV_SRV (only while it has no subkeys) and the
// whole tree HKEY_CURRENT_USER\SOFTWARE\QUAV_SRV\1.0. Every failure is ignored.
void DeleteProductRecord();
