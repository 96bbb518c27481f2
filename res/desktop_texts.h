#pragma once
// Texts of the window's desktop services: the secret store for the account book's passwords
// and the desktop notifications (UTF-8).

namespace talvex {

// Status bar, once a run, when no secret store answers.
inline constexpr const char* kTextKeyringUnavailable =
    "비밀번호 저장소를 쓸 수 없어 사용자 관리의 비밀번호를 Talvex.xml에 그대로 보관합니다.";

// "옵션"
inline constexpr const char* kTextOptionNotify = "데스크톱 알림 (업로드·스케줄 완료, 연결 끊김)";
inline constexpr const char* kTextOptionKeepInTray = "창을 닫아도 트레이에서 계속 실행";

// The tray icon: its tooltip by state, and its menu.
inline constexpr const char* kTextTrayIdle = "Talvex - 대기 중";
inline constexpr const char* kTextTrayUploading = "Talvex - 업로드 중: 완료 %1 / 전체 %2, %3B/s";
inline constexpr const char* kTextTrayFailures = "실패 %1개가 동기화 실패 탭에 있습니다";
inline constexpr const char* kTextTrayShow = "Talvex 창 보이기";
inline constexpr const char* kTextTrayQuit = "끝내기";

// Notifications: summaries, the counts of the body ("완료 %1, 실패 %2") and the action.
inline constexpr const char* kTextNotifyUploadDone = "업로드가 끝났습니다";
inline constexpr const char* kTextNotifyScheduleDone = "스케줄 업로드가 끝났습니다";
inline constexpr const char* kTextNotifyConnectionLost = "서버와의 연결이 끊겼습니다";
inline constexpr const char* kTextNotifyCounts = "완료 %1, 실패 %2";
inline constexpr const char* kTextNotifyOpen = "열기";

} // namespace talvex
