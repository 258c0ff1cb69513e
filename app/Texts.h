// The status line's texts, as the operator sees them. The boot dialogue's step texts stand
// with their steps in boot/BootCommands.cpp, the file loader's fault texts in
// image/SRecord.cpp.
#pragma once

namespace h8sx::text {

inline constexpr const char* kPortOpenFailed = "ＣＯＭポートオープンできません。終了します。";
inline constexpr const char* kNoDataFile = "データファイルがありません";

// Bit-rate matching.
inline constexpr const char* kMatching = "ビットレート合わせ";
inline constexpr const char* kMatchAnswered = "応答ありました1";
inline constexpr const char* kNoBoard = "ＣＰＵボード応答ありません";
inline constexpr const char* kMatchDone = "ビットレート調整終了";
inline constexpr const char* kConfirmAnswered = "応答ありました２";
inline constexpr const char* kNoCpuAnswer = "ＣＰＵ応答ありません";

// Boot-mode dialogue.
inline constexpr const char* kNotThisDevice = "H8SX1622ではありません";
inline constexpr const char* kErasing = "内部ＲＯＭ消去中";

// Image loading and programming.
inline constexpr const char* kChooseFile = "書き込みファイル選択";
inline constexpr const char* kTransferring = "ファイル転送中です";
inline constexpr const char* kS1Parsed = "S1ファイル解析完了";
inline constexpr const char* kS2Parsed = "S2ファイル解析完了";
inline constexpr const char* kS3Parsed = "S3ファイル解析完了";
inline constexpr const char* kToBoard = "ファイル転送－＞ＣＰＵボード";
inline constexpr const char* kBlockTimeout = "TIME OUT Err1";
inline constexpr const char* kBlockOk = "レスポンスＯＫ";
inline constexpr const char* kBlockRefused = "レスポンスERR";
inline constexpr const char* kEndTimeout = "TIME OUT Err3";
inline constexpr const char* kWriteDone = "書き込み正常終了";
inline constexpr const char* kWriteFailed = "書き込みERR";

// RAM write.
inline constexpr const char* kTransferDone = "ファイル転送終了しました";

}  // namespace h8sx::text
