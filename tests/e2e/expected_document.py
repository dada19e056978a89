"""The core's configuration document for a request, written out here
independently of the program, so the bytes on disk can be checked exactly."""
import json

DIRECT_SUFFIXES = ["cn", "baidu.com", "sogou.com", "qq.com", "wechat.com", "douban.com", "zhihu.com", "hupu.com", "taobao.com", "tmall.com", "alipay.com", "aliyun.com", "alicdn.com", "jd.com", "360buyimg.com", "bilibili.com", "iqiyi.com", "youku.com", "hdslb.com", "douyin.com", "kuaishou.com", "toutiao.com", "ixigua.com", "snssdk.com", "meituan.com", "dianping.com", "xiaohongshu.com", "pinduoduo.com", "ele.me", "ctrip.com", "163.com", "126.com", "sina.com.cn", "sohu.com", "weibo.com", "ifeng.com", "amap.com", "autonavi.com", "mi.com", "xiaomi.com", "huawei.com", "vivo.com.cn", "oppo.com", "honor.com", "cctv.com", "xinhuanet.com", "people.com.cn", "gov.cn", "edu.cn", "chinadaily.com.cn", "cnki.net", "csdn.net", "gitee.com", "oschina.net", "qcloud.com", "tencent-cloud.com", "myqcloud.com", "huaweicloud.com", "bdstatic.com", "wangsu.com", "qiniu.com", "upaiyun.com"]


def escape(text):
    # Quotes, backslashes and control characters, as the program escapes them.
    return json.dumps(text, ensure_ascii=False)[1:-1]


def expected_document(host, port, uuid, path="/", sni="", fp="", mode=""):
    sni = sni or host
    path = path or "/"
    fp = fp or "chrome"
    mode = mode.lower()
    smart = mode in ("", "smart")
    glob = mode == "global"
    lines = ["{", '  "log": {"level": "warn"},', '  "inbounds": [']
    mixed = '    {"type": "mixed", "tag": "mixed-in", "listen": "127.0.0.1", "listen_port": 20808}'
    if glob:
        lines.append(mixed + ",")
        lines.append('    {"type": "tun", "tag": "tun-in", "interface_name": "tessarin0", '
                     '"address": ["172.19.0.1/30", "fdfe:dcba:9876::1/126"], "mtu": 9000, '
                     '"auto_route": true, "strict_route": true, "stack": "mixed"}')
    else:
        lines.append(mixed)
    lines += ["  ],", '  "outbounds": [',
              '    {"type": "vless", "tag": "proxy", "server": "%s", "server_port": %d, "uuid": "%s", '
              '"flow": "", "tls": {"enabled": true, "server_name": "%s", "utls": {"enabled": true, '
              '"fingerprint": "%s"}}, "transport": {"type": "ws", "path": "%s", "headers": '
              '{"Host": "%s"}}},' % (escape(host), port, escape(uuid), escape(sni), escape(fp),
                                      escape(path), escape(sni)),
              '    {"type": "direct", "tag": "direct"}', "  ],", '  "route": {"rules": [']
    if smart:
        lines.append('    {"ip_is_private": true, "outbound": "direct"},')
        lines.append('    {"domain_suffix": [%s], "outbound": "direct"}'
                     % ", ".join('"%s"' % s for s in DIRECT_SUFFIXES))
    else:
        lines.append('    {"ip_is_private": true, "outbound": "direct"}')
    lines += ['  ], "final": "proxy"}', "}"]
    return ("\n".join(lines) + "\n").encode("utf-8")
