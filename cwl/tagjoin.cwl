#!/usr/bin/env cwl-runner
# Joins one listing or whole dump with each file's job, scripts/join-one,
# which this description carries along.
cwlVersion: v1.2
class: CommandLineTool
label: tagjoin one listing
doc: |
  Joins a tagged SNP listing, or a whole dump gzipped or not, into one
  line per record with tagjoin, as NAME.joined, NAME being the file's
  name less a final .gz.  The output is written under a temporary name
  and takes its final name only when every stage succeeded, so a file
  that fails leaves no NAME.joined in the output folder, whichever runner
  runs it; its message, with the line at fault, goes to standard error,
  which the runner shows in its log.  Its inputs, and their defaults,
  are those of every other way of joining files (config/README.md).

requirements:
  InitialWorkDirRequirement:
    listing:
      - entryname: join-one
        entry:
          $include: ../scripts/join-one
      - $(inputs.listing)

# Where the runner is asked to run jobs in containers (cwltool --podman,
# or Docker by default), the job runs in the release's image, loaded
# first; with --no-container, on this machine, tagjoin and tagpick on PATH.
hints:
  DockerRequirement:
    dockerPull: localhost/tagjoin:1.0.0
  SoftwareRequirement:
    packages:
      tagjoin:
        version: ["1.0.0"]
      python:
        version: ["3"]

baseCommand: [python3, join-one]
# The job's options, made by scripts/make-interface from join-one --describe: edit there.
arguments:
  - position: 0
    valueFrom: --no-prefilter
  - position: 0
    valueFrom: --no-drop-incomplete
inputs:
  listing:
    type: File
    doc: the listing or dump, gzipped when its name ends in .gz
    inputBinding:
      position: 10
      prefix: --
      valueFrom: $(self.basename)
  prefilter:
    type: boolean
    default: true
    doc: "keep only the lines that begin with rs, SNP, VAL or CTG, as a whole dump holds many other kinds; off, each line goes to tagjoin"
    inputBinding:
      position: 1
      prefix: --prefilter
  drop_incomplete:
    type: boolean
    default: false
    doc: "drop the records that have no CTG line (variants that map nowhere) and count them in the log; off, such a record stops the file, as tagjoin rejects it"
    inputBinding:
      position: 1
      prefix: --drop-incomplete
  tagjoin:
    type: string
    default: "tagjoin"
    doc: "the tagjoin program: a name on PATH, or a path"
    inputBinding:
      position: 1
      prefix: --tagjoin
  tagpick:
    type: string
    default: "tagpick"
    doc: "the tagpick program, which inflates a file and keeps its tagged lines: a name on PATH, or a path"
    inputBinding:
      position: 1
      prefix: --tagpick
# end of what scripts/make-interface makes.

outputs:
  joined:
    type: File
    doc: the joined records, NAME.joined
    outputBinding:
      glob: "*.joined"
