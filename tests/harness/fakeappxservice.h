// The one stand-in for the AppX Management Service (fakeappxservice.cpp) that the tool's and the
// updater's tests run under Wine's service control manager as "QuillmarAppxService", so that the
// clients' check of the pipe's server end passes. What it does is chosen under HKEY_LOCAL_MACHINE
// SettingsKey before it starts (or, for the reply lists, before the request):
//   Script        (REG_SZ)       a fixed conversation, raw framing included (see ServeScript); when
//                                absent or empty the reply list below is served instead
//   StartDelay    (REG_DWORD)    seconds to stay START_PENDING; 0xFFFFFFFF: until stopped
//   DieEarly      (REG_DWORD)    1: report STOPPED while still starting, 4 s into the start
//   BusyMs        (REG_DWORD)    how long "busy" keeps the next client waiting (35 s when absent)
//   Replies       (REG_MULTI_SZ) replies written after a request; "sleep:<ms>" pauses instead
//   Register      (REG_DWORD)    1: listings and registrations are served for real, as the client,
//                                through the package module
//   PackageFolder (REG_SZ)       the stand-in repository's package folder for Register
// Every request is recorded in RecordFolder twice: raw (count and text) as request-<n>.bin, n
// counting the pipe's clients from 1, and as one UTF-8 line of requests.txt. Readiness probes
// (control code 128) are lines of probes.txt. "--impostor" serves the pipe as an ordinary process.
#pragma once

namespace fake_appx_service {

const wchar_t* const ServiceName = L"QuillmarAppxService";
const wchar_t* const Program = L"C:\\corvane-tests\\fake_appxservice.exe";
const wchar_t* const SettingsKey = L"SOFTWARE\\CorvaneTest\\AppxService";
const wchar_t* const RecordFolder = L"C:\\corvane-scratch\\appx-records";

} // namespace fake_appx_service
