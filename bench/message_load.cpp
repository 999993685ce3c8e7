// Messages per second of a raw load and of a decoded load of a ~10 KB multipart message (a
// quoted-printable text part, its HTML alternative and a small base64 attachment), and of
// writing the message file form back.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "mail/MailMessage.h"
#include "platform/TempFolder.h"

namespace {

std::string TenKilobyteMessage() {
    std::string text =
        "Return-Path: <ann@example.org>\r\n"
        "Received: from mail.example.org (mail.example.org [192.0.2.10])\r\n"
        "\tby mx.example.net (Postfix) with ESMTPS id 4F1C2A0123\r\n"
        "\tfor <bob@example.net>; Mon, 07 Dec 2026 12:22:26 +0100 (CET)\r\n"
        "Received: from [198.51.100.7] (unknown [198.51.100.7])\r\n"
        "\tby mail.example.org (Postfix) with ESMTPSA id 1A2B3C4D5E\r\n"
        "\tfor <bob@example.net>; Mon, 07 Dec 2026 12:22:24 +0100 (CET)\r\n"
        "Message-ID: <4E2E5A48-1A2C-4450-8663-D41B451DA93E@example.org>\r\n"
        "Date: Mon, 07 Dec 2026 12:22:20 +0100\r\n"
        "From: =?iso-8859-1?q?J=F6rg_Beispiel?= <ann@example.org>\r\n"
        "To: Bob Example <bob@example.net>, \"Team, The\" <team@example.net>\r\n"
        "Cc: carol@example.com\r\n"
        "Subject: =?utf-8?q?Quartalsbericht_f=C3=BCr_Dezember?= and the numbers\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"outer-boundary-1234\"\r\n"
        "\r\n"
        "--outer-boundary-1234\r\n"
        "Content-Type: multipart/alternative; boundary=\"inner-boundary-5678\"\r\n"
        "\r\n"
        "--inner-boundary-5678\r\n"
        "Content-Type: text/plain; charset=iso-8859-1\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n";
    for (int i = 0; i < 50; ++i)
        text += "Gr=FC=DFe aus dem B=FCro, here is line " + std::to_string(i) + " of the quarterly report text. =\r\n"
                "It goes on.\r\n";
    text +=
        "--inner-boundary-5678\r\n"
        "Content-Type: text/html; charset=iso-8859-1\r\n"
        "Content-Transfer-Encoding: 7bit\r\n"
        "\r\n"
        "<html><body>\r\n";
    for (int i = 0; i < 40; ++i) text += "<p>Line " + std::to_string(i) + " of the quarterly report, as HTML.</p>\r\n";
    text += "</body></html>\r\n--inner-boundary-5678--\r\n"
            "--outer-boundary-1234\r\n"
            "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
            "\r\n";
    for (int i = 0; i < 25; ++i) text += "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVyIC9GbGF0ZURlY29k\r\n";
    text += "--outer-boundary-1234--\r\n.\r\n";
    return text;
}

void LoadMessages(benchmark::State& state, vorla::TLoadMode mode) {
    const std::string text = TenKilobyteMessage();
    for (auto _ : state) {
        vorla::TMailMessage message;
        message.LoadMode = mode;
        message.LoadFromText(text);
        benchmark::DoNotOptimize(message.Subject.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["message_bytes"] = static_cast<double>(text.size());
}

void BM_RawLoad(benchmark::State& state) { LoadMessages(state, vorla::TLoadMode::Raw); }
void BM_DecodedLoad(benchmark::State& state) { LoadMessages(state, vorla::TLoadMode::Decoded); }

void BM_RawLoadAndSave(benchmark::State& state) {
    const std::string text = TenKilobyteMessage();
    for (auto _ : state) {
        vorla::TMailMessage message;
        message.LoadFromText(text);
        benchmark::DoNotOptimize(message.SaveToText().size());
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RawLoad);
BENCHMARK(BM_DecodedLoad);
BENCHMARK(BM_RawLoadAndSave);

}  // namespace
