#!/usr/bin/env cwl-runner
# Joins many dumps, one job a file, as the Snakemake workflow does.
cwlVersion: v1.2
class: Workflow
label: tagjoin many dumps
doc: |
  Joins each dump, gzipped or not, into NAME.joined with tagjoin.cwl,
  one job a file: the pipeline of the README (tagpick, which inflates
  and keeps the four kinds of line, then tagjoin), either's failure seen.  A file that fails
  leaves no NAME.joined, and the run's status is not 0.

requirements:
  ScatterFeatureRequirement: {}

# The job's options, made by scripts/make-interface from join-one --describe: edit there.
inputs:
  dumps:
    type: File[]
    doc: the dumps or listings, gzipped when their names end in .gz
  prefilter:
    type: boolean
    default: true
    doc: "keep only the lines that begin with rs, SNP, VAL or CTG, as a whole dump holds many other kinds; off, each line goes to tagjoin"
  drop_incomplete:
    type: boolean
    default: false
    doc: "drop the records that have no CTG line (variants that map nowhere) and count them in the log; off, such a record stops the file, as tagjoin rejects it"
  tagjoin:
    type: string
    default: "tagjoin"
    doc: "the tagjoin program: a name on PATH, or a path"
  tagpick:
    type: string
    default: "tagpick"
    doc: "the tagpick program, which inflates a file and keeps its tagged lines: a name on PATH, or a path"
# end of what scripts/make-interface makes.

outputs:
  joined:
    type: File[]
    outputSource: join/joined

steps:
  join:
    run: tagjoin.cwl
    scatter: listing
    # made by scripts/make-interface from join-one --describe: edit there.
    in:
      listing: dumps
      prefilter: prefilter
      drop_incomplete: drop_incomplete
      tagjoin: tagjoin
      tagpick: tagpick
    # end of what scripts/make-interface makes.
    out: [joined]
