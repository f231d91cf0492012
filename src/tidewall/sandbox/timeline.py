"""The egress of each private subnet over world time, as a plain SVG picture (no plotting library).

One lane per private subnet: a bar per stretch of the record, coloured by the public IP the traffic left
through (red: no egress), labelled with the target; the commands' windows are marked with a line and their
name, so a reader sees at a glance whether any subnet went dark.
"""

from __future__ import annotations

from html import escape

PALETTE = ("#4e79a7", "#59a14f", "#f28e2b", "#b07aa1", "#76b7b2", "#edc948", "#9c755f", "#bab0ac")
DARK = "#e15759"
LANE, TOP, LEFT, WIDTH = 34, 40, 230, 900


def render_svg(monitor, windows, title="Egress per private subnet (world seconds)"):
    """SVG text of `monitor`'s record; `windows` is command -> (start, end) in world seconds."""
    with monitor._lock:
        lines = {s: list(line) for s, line in monitor.timeline.items()}
        zones = dict(monitor.zones)
    subnets = sorted(lines, key=lambda s: (zones.get(s, ""), s))
    times = [t for line in lines.values() for t, _e in line] + [t for w in windows.values() for t in w]
    start, end = (min(times), max(times)) if times else (0.0, 1.0)
    span = max(end - start, 1e-9)

    def x(t):
        return LEFT + (t - start) / span * WIDTH

    colours = {}
    height = TOP + LANE * len(subnets) + 50
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{LEFT + WIDTH + 20}" height="{height}" '
        'font-family="sans-serif" font-size="11">',
        f'<text x="10" y="20" font-size="14">{escape(title)}</text>',
    ]
    for row, subnet in enumerate(subnets):
        y = TOP + row * LANE
        out.append(f'<text x="10" y="{y + 18}">{escape(zones.get(subnet, ""))} {escape(subnet)}</text>')
        line = lines[subnet]
        for i, (t, egress) in enumerate(line):
            until = line[i + 1][0] if i + 1 < len(line) else end
            colour = DARK if not egress.live else colours.setdefault(egress.ip, PALETTE[len(colours) % 8])
            width = max(x(until) - x(t), 1.0)
            label = f"{egress.target} {egress.ip or 'no egress'}"
            out.append(
                f'<rect x="{x(t):.1f}" y="{y + 4}" width="{width:.1f}" height="{LANE - 10}" fill="{colour}">'
                f"<title>{escape(label)} from {t:.0f} s</title></rect>"
            )
            if width > 60:
                out.append(f'<text x="{x(t) + 3:.1f}" y="{y + 19}" fill="white">{escape(label)}</text>')
    bottom = TOP + LANE * len(subnets)
    for command, (w_start, w_end) in windows.items():
        for t in (w_start, w_end):
            out.append(f'<line x1="{x(t):.1f}" y1="{TOP - 6}" x2="{x(t):.1f}" y2="{bottom}" stroke="#333" />')
        out.append(f'<text x="{x(w_start) + 3:.1f}" y="{TOP - 8}">{escape(command)}</text>')
    out.append(f'<text x="{LEFT}" y="{bottom + 20}">{start:.0f} s</text>')
    out.append(f'<text x="{LEFT + WIDTH - 40}" y="{bottom + 20}">{end:.0f} s</text>')
    legend = LEFT
    for ip, colour in [*colours.items(), ("no egress", DARK)]:
        out.append(f'<rect x="{legend}" y="{bottom + 30}" width="10" height="10" fill="{colour}" />')
        out.append(f'<text x="{legend + 14}" y="{bottom + 39}">{escape(str(ip))}</text>')
        legend += 120
    out.append("</svg>")
    return "\n".join(out) + "\n"
