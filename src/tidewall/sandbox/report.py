"""What the sandbox shows and writes: the before/after tables with the outage per zone, egress per private
subnet, what the runs cost, and the report for machines (`--report FILE.json`)."""

from __future__ import annotations

import json
import os
import tempfile

from tidewall.sandbox.vpcview import egress_text


def _table(headers, rows):
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(h.ljust(w) for h, w in zip(headers, widths, strict=True)).rstrip(), line]
    out += ["  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() for r in rows]
    return out


def seconds(value):
    return f"{value:.0f} s"


def outage_by_zone(stats):
    """zone -> the longest outage of its private subnets (world seconds), from SubnetEgress records."""
    out = {}
    for s in stats:
        out[s.zone] = max(out.get(s.zone, 0.0), s.outage_s)
    return out


def render_table(title, world, before=None, outage=None):
    """One row per NAT gateway subnet: subnet, EIP, NAT gateway -> spoke, spoke public IP, private routes,
    and (given `outage`, zone -> seconds) how long the zone's private subnets had no egress."""
    before_rows = {r["subnet_id"]: r for r in (before.rows if before else [])}
    headers = [
        "#",
        "zone",
        "public subnet",
        "EIP",
        "NAT gateway -> spoke",
        "spoke public IP",
        "private 0.0.0.0/0 ->",
    ]
    if outage is not None:
        headers.append("outage")
    rows = []
    for row in world.rows:
        index = world.index_of(row["subnet_id"])
        old = before_rows.get(row["subnet_id"])
        original_nat = old["nat_gateway"] if old else None
        spoke = row["spoke_gateway"]
        now = spoke["name"] if spoke else row["nat_gateway"]
        if original_nat and now != original_nat:
            gateway = f"{original_nat} -> {now or '(none)'}"
        else:
            gateway = now or "(none)"
        if spoke is None and row["nat_gateway"] and row["nat_gateway_eip"] != row["original_eip"]:
            gateway += f" (holds {row['nat_gateway_eip']})"
        cells = [
            "-" if index is None else str(index),
            row["az"],
            f"{row['subnet_id']} {row['cidr']}",
            egress_text([row["original_eip"], *row.get("secondary_eips", [])]),
            gateway,
            spoke["public_ip"] if spoke else "-",
            ", ".join(row["private_routes"]) or "-",
        ]
        if outage is not None:
            cells.append(seconds(outage[row["az"]]) if row["az"] in outage else "-")
        rows.append(cells)
    return "\n".join([title, *_table(headers, rows)])


def render_egress(title, stats):
    """Per private subnet: seconds without egress, the longest gap, the changes of target (each resets the
    open flows), the public IPs used in order."""
    headers = [
        "zone",
        "private subnet",
        "route table",
        "without egress",
        "longest gap",
        "flow resets",
        "egress IPs in order",
    ]
    rows = [
        [
            s.zone,
            s.subnet_id,
            s.route_table_id or "-",
            seconds(s.outage_s),
            seconds(s.longest_gap_s),
            str(s.flow_resets),
            " -> ".join(s.egress_ips) or "(none)",
        ]
        for s in stats
    ]
    return "\n".join([title, *_table(headers, rows)])


# ---------------------------------------------------------------------------------------------- cost


def merge_reports(reports):
    """One CostReport adding up several (the runs of one command)."""
    from tidewall.sandbox.accounting import CostReport

    total = CostReport()
    for report in reports:
        for mine, theirs in (
            (total.aws_calls, report.aws_calls),
            (total.aws_seconds, report.aws_seconds),
            (total.controller_requests, report.controller_requests),
            (total.controller_seconds, report.controller_seconds),
        ):
            for key, value in theirs.items():
                mine[key] = mine.get(key, 0) + value
        total.excluded_aws_calls += report.excluded_aws_calls
        total.wall_seconds += report.wall_seconds
    return total


def render_cost(title, report, runs):
    out = [f"{title} ({runs}):"]
    out.append(f"  Controller requests: {report.controller_total}, waiting {report.controller_wait:.2f} s")
    for action, count in sorted(report.controller_requests.items(), key=lambda kv: (-kv[1], kv[0])):
        out.append(f"    {action:<40} {count:>4}  {report.controller_seconds.get(action, 0.0):7.2f} s")
    out.append(f"  AWS API calls: {report.aws_total}, waiting {report.aws_wait:.2f} s")
    for action, count in sorted(report.aws_calls.items(), key=lambda kv: (-kv[1], kv[0])):
        out.append(f"    {action:<40} {count:>4}  {report.aws_seconds.get(action, 0.0):7.2f} s")
    wall = report.wall_seconds
    waiting = report.waiting_seconds
    share = (waiting / wall * 100) if wall else 0.0
    out.append(
        f"  Waiting on outside calls: {waiting:.2f} s of {wall:.2f} s total ({share:.0f}%); "
        f"the tool's own time (including its polling pauses): {max(wall - waiting, 0.0):.2f} s"
    )
    return "\n".join(out)


def aws_call_budget(nat_gateways, keep_egress=False):
    """The most AWS API calls one execute of a VPC with this many NAT gateways needs for its work (8N+20:
    7N+20, and after each deletion one look at the Elastic IPs before a spoke takes them over), and with
    egress kept up (`keep_egress`) 3N+4 more: per NAT gateway two route moves (park, settle) and one look at
    the spokes, and the guard of the primary's resize. In a world where changes take time, the looks while
    waiting come on top."""
    return 8 * nat_gateways + 20 + (3 * nat_gateways + 4 if keep_egress else 0)


def aws_call_budget_text(nat_gateways, keep_egress=False):
    formula = "11N+24 (8N+20 for the work, 3N+4 to keep egress up)" if keep_egress else "8N+20"
    return f"{formula} = {aws_call_budget(nat_gateways, keep_egress)}"


def render_cost_line(title, report):
    return (
        f"{title}: {report.controller_total} controller requests, {report.aws_total} AWS API calls, "
        f"waiting {report.waiting_seconds:.2f} s of {report.wall_seconds:.2f} s"
    )


# ------------------------------------------------------------------------------------ for machines


def machine_report(checks, egress, cost, runs, time_scale, by_command=None, keep_egress=True):
    """The report `--report` writes: checks, egress per private subnet (world seconds) over everything and
    per command (`by_command`: command -> SubnetEgress records; with the largest outage of each), whether
    the migration kept egress up (`egress.keep`), the cost of every run of the tool (counts; real seconds
    waiting on outside calls and in all), the number of runs of the tool's commands, and the time scale."""
    by_command = by_command or {}
    return {
        "checks": [{"name": c.name, "ok": c.passed} for c in checks.items],
        "egress": [s.to_dict() for s in egress],
        "egress_keep": bool(keep_egress),
        "egress_by_command": {
            command: {
                "max_outage_s": round(max((s.outage_s for s in stats), default=0.0), 1),
                "max_flow_resets": max((s.flow_resets for s in stats), default=0),
                "subnets": [s.to_dict() for s in stats],
            }
            for command, stats in by_command.items()
        },
        "cost": {
            "controller": dict(sorted(cost.controller_requests.items())),
            "aws": dict(sorted(cost.aws_calls.items())),
            "wait_s": round(cost.waiting_seconds, 3),
            "total_s": round(cost.wall_seconds, 3),
        },
        "runs": runs,
        "time_scale": time_scale,
    }


def write_report(path, report):
    """Write the report as JSON (through a temporary file: a reader never sees half of it)."""
    path = os.path.abspath(path)
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(prefix=".report-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
