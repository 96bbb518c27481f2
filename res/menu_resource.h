#pragma once
// The main menu and the tool bar: command ids and their texts. Tool tips and status-bar
// prompts come from the string table under the same command ids ("prompt\ntool tip").

#include "res/string_table.h"

#include <cstddef>
#include <iterator>

namespace talvex {

enum CommandId : unsigned {
    ID_LOCAL_UPLOAD = 32772,
    ID_MANUAL_SYNC = 32785,
    ID_REFRESH = 32788,
    ID_REMOTE_MKDIR = 32792,
    ID_REMOTE_DELETE = 32793,
    ID_REMOTE_RENAME = 32794,
    ID_REMOTE_CHECKSYNC = 32795,
    ID_CHECK_SYNC_ALL = 32797,
    ID_SCHEDULE_SET = 32812,
    ID_SCHEDULE_CANCEL = 32813,
    ID_DETAIL_SIZE = 32817,
    ID_FIND_FILE = 32818,
    ID_DISCONNECT = 32819,
    ID_CONNECT = 32820,
    ID_USER_MANAGER = 32821,
    ID_OPTIONS = 32830,
    ID_APP_ABOUT = 57664,
    ID_APP_EXIT = 57665,
};

struct MenuItem {
    unsigned id; // 0: separator
    const char* text;
};

struct MenuPopup {
    const char* title;
    const MenuItem* items;
    size_t count;
};

inline constexpr MenuItem kFileMenu[] = {
    {ID_USER_MANAGER, "사용자 관리"},
    {ID_CONNECT, "접속"},
    {ID_DISCONNECT, "접속끊기"},
    {0, nullptr},
    {ID_APP_EXIT, "끝내기(&X)"},
};
inline constexpr MenuItem kToolsMenu[] = {
    {ID_MANUAL_SYNC, "수동동기화 시작(&S)"},
    {ID_CHECK_SYNC_ALL, "전체 동기화 확인(&C)"},
    {0, nullptr},
    {ID_REFRESH, "새로고침(&R)"},
    {ID_FIND_FILE, "파일찾기"},
    {ID_DETAIL_SIZE, "파일크기(자세히)"},
    {0, nullptr},
    {ID_SCHEDULE_SET, "스케줄 설정"},
    {ID_SCHEDULE_CANCEL, "스케줄 취소"},
    {0, nullptr},
    {ID_OPTIONS, "옵션(&O)..."},
};
inline constexpr MenuItem kHelpMenu[] = {
    {ID_APP_ABOUT, "Talvex 정보(&A)..."},
};

inline constexpr MenuPopup kMainMenu[] = {
    {kTextMenuFile, kFileMenu, std::size(kFileMenu)},
    {kTextMenuTools, kToolsMenu, std::size(kToolsMenu)},
    {"도움말", kHelpMenu, std::size(kHelpMenu)},
};

// The tool bar's seven buttons, in order.
inline constexpr unsigned kToolBarCommands[] = {
    ID_USER_MANAGER, ID_CONNECT, ID_DISCONNECT, ID_MANUAL_SYNC, ID_CHECK_SYNC_ALL, ID_REFRESH, ID_SCHEDULE_SET,
};

// Local pane context menu.
inline constexpr MenuItem kLocalMenu[] = {
    {ID_LOCAL_UPLOAD, "업로드(&U)"},
};

// Remote pane context menu.
inline constexpr MenuItem kRemoteMenu[] = {
    {ID_REMOTE_MKDIR, "폴더 만들기(&C)"},
    {ID_REMOTE_RENAME, "이름 바꾸기(&R)"},
    {ID_REMOTE_DELETE, "삭제(&D)"},
    {ID_REMOTE_CHECKSYNC, "동기화 확인(&S)"},
};

} // namespace talvex
