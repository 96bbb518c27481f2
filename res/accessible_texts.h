#pragma once
// What screen readers say of the controls whose screen shows no label of their own (UTF-8).
// Names are short and match the window's words; descriptions say what a control does.

namespace talvex {

inline constexpr const char* kAccLocalList = "로컬 파일 목록";
inline constexpr const char* kAccLocalListHelp = "내 컴퓨터의 폴더와 파일. Enter로 열고 Backspace로 위 폴더로 갑니다";
inline constexpr const char* kAccRemoteList = "원격 사이트 파일 목록";
inline constexpr const char* kAccRemoteListHelp = "서버의 폴더와 파일. 로컬 파일을 끌어다 놓으면 업로드합니다";
inline constexpr const char* kAccRemotePath = "원격 사이트 경로";
inline constexpr const char* kAccPageList = "%1 목록"; // %1: the page's tab title
inline constexpr const char* kAccStatusBar = "상태 표시줄";
inline constexpr const char* kAccToolBar = "도구 모음";
inline constexpr const char* kAccToolBarMore = "도구 모음 더 보기";
inline constexpr const char* kAccAccounts = "사용자 계정 목록";
inline constexpr const char* kAccDrmSource = "원본 파일";
inline constexpr const char* kAccDrmTargets = "보호할 파일";
inline constexpr const char* kAccDrmLog = "DRM 작업 기록";
inline constexpr const char* kAccDrmFolder = "보호한 파일을 둘 폴더";
inline constexpr const char* kAccDrmLocation = "원본 폴더 위치";
inline constexpr const char* kAccDrmAdd = "보호할 파일에 추가";
inline constexpr const char* kAccDrmBrowse = "보호한 파일을 둘 폴더 고르기";

} // namespace talvex
