"""`tidewall fleet`: many VPCs, one process each, run in parallel and in waves, summed up at the end.

The parts: `fleetfile` (the fleet file: defaults and one entry per VPC, every entry checked as a whole
configuration before anything runs), `child` (one VPC's run: the command line in its own process, its
configuration in a private folder, its JSON outcome and its current step), `scheduler` (which VPC runs
when: parallel, waves, stop on failure, VPCs another run holds), `view` (the live lines and the summary)
and `command` (the `tidewall fleet ...` commands themselves).

A migration keeps process-wide settings (the controller session, the run switches), so two VPCs never
share a process. Two fleet runs, on one machine or on several, share VPCs through each VPC's run lock: a
VPC whose lock another run holds is skipped and, once this run has nothing else to do, waited for and run
again (which, after the other run finished it, finds nothing left to do).
"""
