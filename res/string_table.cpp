#include "res/string_table.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <utility>

namespace talvex {
namespace {

struct Entry {
    unsigned id;
    const char* text;
};

// Sorted by id.
constexpr Entry kStrings[] = {
    // File list columns
    {129, "파일명"},
    {130, "파일크기"},
    {131, "파일유형"},
    {132, "수정일자"},

    // Status bar totals
    {173, "전체 : %d     "},
    {174, "완료 : %d  "},
    {175, "파일크기 : %I64d %s"},
    {193, "실패 : %d"},

    // Product name, common buttons, about box
    {194, "Talvex"},
    {195, "확인"},
    {196, "취소"},
    {199, "Talvex 정보"},

    // New folder / find file dialog
    {200, "새 폴더 만들기"},
    {201, "파일 찾기"},
    {202, "폴더명"},
    {203, "파일명"},
    {204, "폴더명을 입력하세요"},
    {205, "파일명을 입력하세요"},
    {206, ": < > * \" / ? \\ | 값은 사용할 수 없습니다"},

    // Login dialog
    {207, "Talvex login"},
    {208, "사용자 아이디 :"},
    {209, "비밀번호  :"},
    {210, "저장"},

    // Rename dialog
    {211, "이름 바꾸기"},
    {212, "원본 이름 : "},
    {213, "대상 이름 : "},

    // Jobs in progress (status bar, progress dialog)
    {215, "수동동기화 진행중"},
    {216, "동기화확인 진행중"},
    {217, "이름 바꾸기 진행중"},
    {218, "파일 찾기 진행중"},

    // Sync result dialogs
    {219, "수동동기화 결과"},
    {220, "동기화확인 결과"},
    {221, "전체 파일수 :"},
    {222, "실패 파일수 :"},
    {223, "실패 파일 목록"},
    {224, "실패 파일 경로"},
    {225, "실패 정보 찾기에 실패하였습니다"},
    {226, "실패파일 목록보기"},
    {227, "동기화가 정상적으로 완료되었습니다"},

    // DRM pane
    {234, "c:/Temp"},

    // Messages
    {239, "서버 점검중입니다.\n잠시후 다시 시도해주시기 바랍니다."},
    {240, "File 전송 연결에 실패했습니다."},
    {241, "서버 장애입니다. 관리자에게 문의하여 주시기 바랍니다"},
    {242, "ID or Password가 일치하지 않습니다"},
    {243, "Logon Server에 연결할 수 없습니다. 잠시후 다시 시도해주시기 바랍니다."},
    {244, "로그인 계정을 찾을 수 없습니다.\n다시 시도하시겠습니까?"},
    {245, "암호가 일치하지 않습니다.\n다시 시도하시겠습니까?"},
    {246, "동기화 확인 결과 List 생성중"},
    {247, "동기화 대상 서버 장애입니다"},
    {249, "%s 파일을 이름 바꾸기 할 수 없습니다"},
    {250, "대상 이름이 이미 존재합니다. 이름 바꾸기를 할 수 없습니다"},
    {251, "파일이 존재하지 않습니다"},
    {252, "동기화 대상 서버가 없습니다."},
    {253, "동기화 확인을 할 수 없습니다. [%d]"},
    {254, "수동 동기화를 할 수 없습니다. [%d]"},

    // Connection state in the status bar
    {255, "동기화 진행중"},
    {256, "업로드 진행중"},
    {257, "동기화 대기중"},
    {258, "연결끊김"},
    {259, "연결됨"},

    // Messages
    {260, "정말 연결을 끊으시겠습니까?"},
    {261, "동기화 진행중이므로 디렉토리 검색 Skip"},
    {262, "여러개의 Item을 선택할 수 없습니다"},
    {263, "여러개의 항목을 이름바꾸기 할 수 없습니다"},
    {264, "이미 존재합니다. 다시 시도하시겠습니까?"},
    {265, "정말 삭제하시겠습니까?"},

    // Login dialog checks
    {272, "사용자 계정을 입력하세요"},
    {273, "비밀번호를 입력하세요"},

    // Rename dialog check
    {283, "대상 경로를 설정하셔야 합니다"},

    // Schedule dialog
    {285, "스케줄 설정"},
    {286, "스케줄 설정"},
    {287, "매 주기별로 동기화 수행"},
    {288, "지정된 시각마다 동기화 수행"},
    {289, "스케줄 주기 설정"},
    {290, "시간"},
    {291, "분"},
    {292, "주기"},
    {293, "동기화 대상 경로 설정"},
    {294, "원본경로"},
    {295, "대상경로"},
    {296, "동기화 완료후 설정"},
    {297, "원본파일 이동"},

    // Result pane status column
    {308, "업로드 완료"},
    {309, "동기화 실패"},
    {310, "동기화 완료"},
    {311, "동기화 진행중"},

    // Tab titles
    {313, "전송파일"},
    {314, "동기화 실패"},
    {316, "동기화 완료"},
    {317, "DRM"},
    {318, "동기화 진행중"},
    {319, "스케줄"},
    {320, "업로드 완료"},
    {321, "찾기 결과"},

    // Single-instance guard
    {322, "Talvex가 이미 실행중입니다. 프로세스를 먼저 종료하세요"},

    // Size units
    {326, "KB"},
    {327, "MB"},

    // Lost connection
    {329, "서버와의 연결이 끊겼습니다. 다시 시도해 주시기 바랍니다."},

    // Result pane columns, remote site label
    {336, "동기화 결과"},
    {338, "파일크기"},
    {339, "로컬파일명"},
    {340, "원격파일명"},
    {341, "원격 사이트"},

    // Menu and tool bar commands: the status-bar prompt ("prompt\ntool tip" where there is one),
    // else the menu text
    {32772, "업로드(&U)"},
    {32774, "모두지우기"},
    {32778, "복사"},
    {32779, "삭제"},
    {32781, "전송취소"},
    {32785, "수동동기화를 시작합니다\n수동동기화 시작"},
    {32788, "새로고침(&R)"},
    {32792, "폴더 만들기(&C)"},
    {32793, "삭제(&D)"},
    {32794, "이름 바꾸기(&R)"},
    {32795, "동기화 확인(&S)"},
    {32797, "root path를 기준으로 동기화를 확인한다."},
    {32812, "스케줄 설정\n지정된 시각에 동기화를 수행합니다."},
    {32813, "스케줄 취소\n스케줄을 취소합니다."},
    {32816, "실패항목 재전송"},
    {32817, "파일크기(자세히)"},
    {32818, "파일찾기"},
    {32819, "접속끊기"},
    {32820, "접속"},
    {32821, "사용자 관리\n사용자 계정을 관리합니다."},
    {32830, "업로드 옵션을 설정합니다\n옵션"},

    // Framework ids
    {57344, "Talvex"},
    {57664, "Talvex 정보(&A)..."},
    {57665, "끝내기(&X)"},
};

constexpr bool StrictlyAscending()
{
    for (size_t i = 1; i < std::size(kStrings); ++i)
        if (kStrings[i - 1].id >= kStrings[i].id)
            return false;
    return true;
}
static_assert(StrictlyAscending(), "kStrings must be sorted by id without duplicates");

const Entry* Find(unsigned id)
{
    const auto* it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                                      [](const Entry& e, unsigned v) { return e.id < v; });
    return (it != std::end(kStrings) && it->id == id) ? it : nullptr;
}

} // namespace

std::string_view LoadString(unsigned id)
{
    const Entry* e = Find(id);
    return e ? std::string_view(e->text) : std::string_view();
}

bool HasString(unsigned id) { return Find(id) != nullptr; }

std::vector<unsigned> StringIds()
{
    std::vector<unsigned> ids;
    for (const Entry& e : kStrings)
        ids.push_back(e.id);
    return ids;
}

std::string FormatString(unsigned id, ...)
{
    // The table speaks the Windows dialect "%I64d"; turn it into the standard "%lld".
    std::string format(LoadString(id));
    for (size_t pos; (pos = format.find("%I64d")) != std::string::npos;)
        format.replace(pos, 5, "%lld");
    va_list args;
    va_start(args, id);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format.c_str(), copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format.c_str(), args);
        out.resize(static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

} // namespace talvex
