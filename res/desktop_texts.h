#pragma once
// Texts of the window's desktop services: the secret store for the account book's passwords
// and the desktop notifications (UTF-8).

namespace talvex {

// Status bar, once a run, when no secret store answers.
inline constexpr const char* kTextKeyringUnavailable =
    "비밀번호 저장소를 쓸 수 없어 사용자 관리의 비밀번호를 Talvex.xml에 그대로 보관합니다.";

// "옵션"
inline constexpr const char* kTextOptionNotify = "데스크톱 알림 (업로드·스케줄 완료, 연결 끊김)";

// Notifications: summaries, the counts of the body ("완료 %1, 실패 %2") and the action.
inline constexpr const char* kTextNotifyUploadDone = "업로드가 끝났습니다";
inline constexpr const char* kTextNotifyScheduleDone = "스케줄 업로드가 끝났습니다";
inline constexpr const char* kTextNotifyConnectionLost = "서버와의 연결이 끊겼습니다";
inline constexpr const char* kTextNotifyCounts = "완료 %1, 실패 %2";
inline constexpr const char* kTextNotifyOpen = "열기";

} // namespace talvex
